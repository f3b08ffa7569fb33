// Numerical inversion of a CDF model on its finite support: bisection on the
// CDF (ppf), optionally followed by a short safeguarded Newton polish with the
// density (ppf_with_pdf). The tolerance is absolute on the CDF value, not on
// x. Bisection is the right tool here because it needs nothing of the CDF but
// monotonicity and survives NaN values; the polish only matters when the
// bisection ran out of iterations or met a CDF too rough for the tolerance.
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>

#include "continuous/traits.hpp"
#include "error.hpp"

namespace varlix {

// Newton updates after bisection; the bisection has usually met the
// tolerance already, so a few steps suffice for what remains.
inline constexpr int kNewtonUpdates = 8;

// Below this density the CDF is flat for practical purposes and a Newton step
// would divide by (nearly) zero.
inline constexpr double kVanishingDensity = 1e-300;

// x clamped to [lo, hi]; a NaN passes through so that it reaches the caller.
[[nodiscard]] inline double clamp_to_support(double x, double lo, double hi) {
  if (x < lo) {
    return lo;
  }
  if (x > hi) {
    return hi;
  }
  return x;
}

namespace detail {

// The CDF level that p selects on [lo, hi]: F(lo) + p * (F(hi) - F(lo)).
template <Cdf C>
[[nodiscard]] std::expected<double, SampleError> inversion_target(const C& cdf, double lo, double hi, double p) {
  if (!(p > 0.0 && p < 1.0)) {
    return std::unexpected(SampleError::quantile_out_of_range(p));
  }
  const double f_lo = cdf.cdf(lo);
  const double f_hi = cdf.cdf(hi);
  const double span = f_hi - f_lo;
  if (!(std::isfinite(span) && span > 0.0)) {
    return std::unexpected(SampleError::inversion_failed());
  }
  return f_lo + p * span;
}

// A NaN CDF value compares as not below the target, so it moves the upper end.
template <Cdf C>
[[nodiscard]] double bisect(const C& cdf, std::uint32_t max_iterations, double lo, double hi, double target,
                            double tol) {
  double a = lo;
  double b = hi;
  for (std::uint32_t k = 0; k < max_iterations; ++k) {
    const double m = (a + b) * 0.5;
    const double f = cdf.cdf(m);
    if (tol >= std::abs(f - target)) {
      return m;
    }
    if (f < target) {
      a = m;
    } else {
      b = m;
    }
  }
  return (a + b) * 0.5;
}

}  // namespace detail

template <Cdf C>
[[nodiscard]] std::expected<double, SampleError> ppf(const C& cdf, std::uint32_t max_iterations, double lo,
                                                     double hi, double p, double tol) {
  const auto target = detail::inversion_target(cdf, lo, hi, p);
  if (!target) {
    return std::unexpected(target.error());
  }
  return detail::bisect(cdf, max_iterations, lo, hi, *target, tol);
}

// `pdf` is the normalized density of the model behind `cdf`. The polish runs
// on the whole support rather than the last bracket, clamped to it.
template <Cdf C, Pdf P>
[[nodiscard]] std::expected<double, SampleError> ppf_with_pdf(const C& cdf, const P& pdf,
                                                              std::uint32_t max_iterations, double lo, double hi,
                                                              double p, double tol) {
  const auto target = detail::inversion_target(cdf, lo, hi, p);
  if (!target) {
    return std::unexpected(target.error());
  }
  double x = detail::bisect(cdf, max_iterations, lo, hi, *target, tol);
  for (int update = 0; update < kNewtonUpdates; ++update) {
    const double residual = cdf.cdf(x) - *target;
    if (tol >= std::abs(residual)) {
      return x;
    }
    const double density = pdf.pdf(x);
    if (std::abs(density) < kVanishingDensity) {
      return x;
    }
    x = clamp_to_support(x - residual / density, lo, hi);
  }
  return x;
}

}  // namespace varlix
