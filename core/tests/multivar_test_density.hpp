// Test doubles shared by the multivariate sampler tests: a density on a box
// built from a plain function that counts its calls, and a counter of the
// random draws an operation consumed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "multivar/support.hpp"
#include "random.hpp"

namespace varlix::testing {

inline HyperRect make_box(std::vector<double> lo, std::vector<double> hi) {
  return *HyperRect::build(std::move(lo), std::move(hi));
}

struct TestDensity {
  HyperRect box;
  std::function<double(std::span<const double>)> f;
  // Shared by copies, so the sampler's own copy counts into the test's.
  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);

  double pdf(std::span<const double> x) const {
    ++*calls;
    return f(x);
  }
  const HyperRect& support() const { return box; }
};

inline TestDensity constant_density(HyperRect box, double value) {
  return TestDensity{std::move(box), [value](std::span<const double>) { return value; }};
}

// How many draw_u64 calls take `before` to `after`; nothing if more than `limit`.
inline std::optional<std::uint64_t> draws_between(Rng before, const Rng& after, std::uint64_t limit = 1u << 20) {
  for (std::uint64_t n = 0; n <= limit; ++n) {
    if (before == after) return n;
    (void)before.draw_u64();
  }
  return std::nullopt;
}

}  // namespace varlix::testing
