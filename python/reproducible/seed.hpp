// The `seed` parameter of _varlix's functions and the generator of one call.
#pragma once

#include <cstdint>
#include <optional>

#include <binding/binder.hpp>

#include <random.hpp>

namespace varlix::py {

// Every `seed` parameter: omitted or None draws from the calling thread's
// generator, an integer from a generator made for this call.
using Seed = Optional<U64>;

// The generator of one call that takes a seed.
class CallRng {
 public:
  explicit CallRng(std::optional<std::uint64_t> seed);
  // The seeded generator, or the calling thread's; take it once per call.
  [[nodiscard]] Rng& get();

 private:
  std::optional<Rng> seeded_;
};

}  // namespace varlix::py
