#include "continuous/hermite.hpp"

#include <cmath>
#include <cstddef>

namespace varlix {
namespace {

// Knots closer than this give no usable secant or interval.
constexpr double kNegligibleWidth = 1e-300;

// Fritsch-Carlson: slopes inside the circle alpha^2 + beta^2 <= 9 keep each
// cubic piece monotone.
constexpr double kLimiterRadiusSquared = 9.0;
constexpr double kLimiterRadius = 3.0;

// Recomputed where needed rather than stored, so that filling the slopes
// needs no scratch array; the same operands give the same value each time.
double secant(std::span<const double> u, std::span<const double> x, std::size_t k) {
  const double du = u[k + 1] - u[k];
  if (!(std::abs(du) > kNegligibleWidth)) {
    return 0.0;
  }
  return (x[k + 1] - x[k]) / du;
}

}  // namespace

void fill_monotone_slopes(std::span<const double> knots, std::span<const double> values, std::span<double> slopes) {
  const std::size_t m = knots.size();
  slopes[0] = secant(knots, values, 0);
  slopes[m - 1] = secant(knots, values, m - 2);
  double before = slopes[0];
  for (std::size_t k = 1; k + 1 < m; ++k) {
    const double after = secant(knots, values, k);
    // Opposite or zero secants mark a local extremum or a flat piece, where
    // only a zero slope keeps both neighbouring pieces monotone.
    slopes[k] = before * after <= 0.0 ? 0.0 : 2.0 / (1.0 / before + 1.0 / after);
    before = after;
  }
  limit_monotone_slopes(knots, values, slopes);
}

void limit_monotone_slopes(std::span<const double> knots, std::span<const double> values, std::span<double> slopes) {
  for (std::size_t k = 0; k + 1 < knots.size(); ++k) {
    const double s = secant(knots, values, k);
    if (std::abs(s) < kNegligibleWidth) {
      continue;
    }
    const double alpha = slopes[k] / s;
    const double beta = slopes[k + 1] / s;
    const double radius_squared = alpha * alpha + beta * beta;
    if (radius_squared > kLimiterRadiusSquared) {
      const double tau = kLimiterRadius / std::sqrt(radius_squared);
      slopes[k] = slopes[k] * tau;
      slopes[k + 1] = slopes[k + 1] * tau;
    }
  }
}

std::vector<double> monotone_slopes(std::span<const double> knots, std::span<const double> values) {
  std::vector<double> slopes(knots.size());
  fill_monotone_slopes(knots, values, slopes);
  return slopes;
}

bool HermitePpfTable::reserve(std::uint64_t n) {
  return try_reserve(u_knots_, n) && try_reserve(x_values_, n) && try_reserve(slopes_, n);
}

void HermitePpfTable::finish() {
  slopes_.resize(u_knots_.size());  // within the reserved capacity
  fill_monotone_slopes(u_knots_, x_values_, slopes_);
}

double HermitePpfTable::eval(double u) const {
  const std::size_t n = u_knots_.size();
  if (u <= u_knots_.front()) {
    return x_values_.front();
  }
  if (u >= u_knots_.back()) {
    return x_values_.back();
  }
  // Knots strictly below u, at least 1 so that a NaN u lands in the first
  // interval (and comes out NaN) instead of before the array.
  const auto below = static_cast<std::size_t>(std::lower_bound(u_knots_.begin(), u_knots_.end(), u) - u_knots_.begin());
  const std::size_t i = std::clamp<std::size_t>(below, 1, n - 1) - 1;
  const double h = u_knots_[i + 1] - u_knots_[i];
  if (std::abs(h) < kNegligibleWidth) {
    return clamp_to_support(x_values_[i], lo_, hi_);
  }
  const double t = (u - u_knots_[i]) / h;
  const double t2 = t * t;
  const double t3 = t2 * t;
  const double h00 = 1.0 + (2.0 * t3 - 3.0 * t2);
  const double h10 = t + (t3 - 2.0 * t2);
  const double h01 = 3.0 * t2 - 2.0 * t3;
  const double h11 = t3 - t2;
  const double value = ((h11 * h) * slopes_[i + 1]) +
                       ((h01 * x_values_[i + 1]) + (((h10 * h) * slopes_[i]) + h00 * x_values_[i]));
  return clamp_to_support(value, lo_, hi_);
}

}  // namespace varlix
