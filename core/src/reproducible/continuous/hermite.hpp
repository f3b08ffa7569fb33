// A precomputed inverse CDF: the quantile is found by bisection once at a
// fixed grid of probability levels, and every later quantile is a monotone
// piecewise-cubic Hermite interpolation of x as a function of u, with no
// further CDF evaluation. The slopes follow Fritsch & Carlson 1980,
// "Monotone piecewise cubic interpolation" (harmonic-mean interior slopes,
// then the alpha^2 + beta^2 <= 9 limiter).
//
// The right tool when many quantiles or draws are wanted from a CDF that is
// expensive to evaluate (each value of an integrated density is a quadrature).
#pragma once

#include <algorithm>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "continuous/invert.hpp"
#include "continuous/traits.hpp"
#include "error.hpp"
#include "memory.hpp"

namespace varlix {

// Slopes dx/du at each knot of a monotone cubic Hermite interpolant through
// (knots[k], values[k]); knots and values have the same length, at least 2.
[[nodiscard]] std::vector<double> monotone_slopes(std::span<const double> knots, std::span<const double> values);

// As monotone_slopes, written into `slopes` (same length as knots), without
// allocating.
void fill_monotone_slopes(std::span<const double> knots, std::span<const double> values, std::span<double> slopes);

// The Fritsch-Carlson limiter alone, applied in place to any initial slopes,
// interval by interval from the left: where alpha^2 + beta^2 > 9 both end
// slopes shrink by 3 / sqrt(alpha^2 + beta^2), and the next interval sees the
// reduced right-end slope. The harmonic-mean slopes of monotone_slopes keep
// alpha and beta within 2, which the limiter leaves as they are; it shapes
// slopes that come from elsewhere.
void limit_monotone_slopes(std::span<const double> knots, std::span<const double> values, std::span<double> slopes);

class HermitePpfTable {
 public:
  // Fewer nodes than this cannot carry interior slopes on both sides.
  static constexpr std::uint64_t kMinNodes = 4;
  // The levels run from kEdgeLevel to 1 - kEdgeLevel, where the quantile is
  // still inside the support for any CDF the bisection can invert.
  static constexpr double kEdgeLevel = 1e-12;
  static constexpr double kLevelSpan = 0.999999999998;  // 1 - 2 * kEdgeLevel

  // Inverts the CDF at max(grid_size, kMinNodes) evenly spaced levels. A node
  // whose inversion fails falls back to the straight line across [lo, hi];
  // the only error is a grid too large to allocate, found before any CDF work.
  template <Cdf C>
  [[nodiscard]] static std::expected<HermitePpfTable, BuildError> build(const C& cdf, std::uint64_t grid_size,
                                                                       std::uint32_t max_iterations, double lo,
                                                                       double hi, double ppf_tolerance) {
    const std::uint64_t n = std::max(grid_size, kMinNodes);
    HermitePpfTable table(lo, hi);
    if (!table.reserve(n)) {
      return std::unexpected(BuildError::out_of_memory());
    }
    const double last = static_cast<double>(n - 1);
    for (std::uint64_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) / last;
      const double u = t * kLevelSpan + kEdgeLevel;
      const auto x = ppf(cdf, max_iterations, lo, hi, u, ppf_tolerance);
      table.u_knots_.push_back(u);
      table.x_values_.push_back(x.value_or(t * (hi - lo) + lo));
    }
    table.finish();
    return table;
  }

  // Interpolated quantile, clamped to [lo, hi]; for 0 < u < 1. Allocates
  // nothing and calls no user code.
  [[nodiscard]] double eval(double u) const;

  [[nodiscard]] std::span<const double> u_knots() const { return u_knots_; }
  [[nodiscard]] std::span<const double> x_values() const { return x_values_; }
  [[nodiscard]] std::span<const double> slopes() const { return slopes_; }
  [[nodiscard]] double lo() const { return lo_; }
  [[nodiscard]] double hi() const { return hi_; }

 private:
  HermitePpfTable(double lo, double hi) : lo_(lo), hi_(hi) {}

  // Capacity for n nodes in all three arrays, so that filling them cannot fail.
  [[nodiscard]] bool reserve(std::uint64_t n);
  void finish();

  std::vector<double> u_knots_;
  std::vector<double> x_values_;
  std::vector<double> slopes_;
  double lo_;
  double hi_;
};

}  // namespace varlix
