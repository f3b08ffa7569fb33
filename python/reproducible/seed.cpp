#include "seed.hpp"

namespace varlix::py {

CallRng::CallRng(std::optional<std::uint64_t> seed) {
  if (seed) seeded_.emplace(seed_from_u64(*seed));
}

Rng& CallRng::get() { return seeded_ ? *seeded_ : thread_rng(); }

}  // namespace varlix::py
