// Where the generators of the varlix package take their uniforms from.
//
// A uniform source is any value with `double next_double()` in [0, 1). The
// package draws from a NumPy bit generator: its C interface is the plain
// struct below, so the core reads it without knowing of Python or NumPy.
// The library's own ChaCha engine serves as a source for the core tests.
#pragma once

#include <concepts>
#include <cstdint>

#include <random.hpp>

namespace varlix {

template <class S>
concept UniformSource = requires(S& s) {
  { s.next_double() } -> std::same_as<double>;
};

// The layout of NumPy's `bitgen_t` (numpy/random/bitgen.h), which its bit
// generators export through their `capsule` attribute. The caller holds the
// bit generator's lock for as long as it draws.
struct BitGenerator {
  void* state;
  std::uint64_t (*next_uint64)(void* state);
  std::uint32_t (*next_uint32)(void* state);
  double (*next_double)(void* state);
  std::uint64_t (*next_raw)(void* state);
};

class BitGeneratorSource {
 public:
  // The function and state are copied: a draw loop then keeps them in
  // registers instead of reading them back after every (opaque) call.
  explicit BitGeneratorSource(BitGenerator& bits) noexcept : next_(bits.next_double), state_(bits.state) {}
  [[nodiscard]] double next_double() { return next_(state_); }

 private:
  double (*next_)(void* state);
  void* state_;
};

// The core's ChaCha engine as a uniform source.
class RngSource {
 public:
  explicit RngSource(Rng& rng) noexcept : rng_(&rng) {}
  [[nodiscard]] double next_double() { return standard_uniform(*rng_); }

 private:
  Rng* rng_;
};

static_assert(UniformSource<BitGeneratorSource>);
static_assert(UniformSource<RngSource>);

}  // namespace varlix
