// The integrals behind the moments and entropy of a law known by an
// unnormalized density f: one adaptive Gauss–Kronrod pass gives
//   I0 = ∫ f,  In = ∫ (x - c)^n f  for n = 1 .. kMaxMomentOrder,  H = ∫ f log f,
// from which the mean c + I1/I0, the central moments by the binomial shift,
// and the entropy log I0 - H/I0. The center c (the median, say) keeps the
// higher moments free of the cancellation that x^n f would suffer for a law
// far from 0. Orders above `orders` (moments that diverge, as the tails
// decide: continuous/tail_exponent.hpp) are left at zero, so that their
// divergence does not spend the refinement meant for the others. The
// options may carry the mass known for each interval of the partition (see
// QuadratureOptions::expected_mass).
#pragma once

#include <array>
#include <cmath>
#include <expected>
#include <span>

#include "continuous/gauss_kronrod.hpp"

namespace varlix {

// Up to the fourth moment: the kurtosis.
inline constexpr std::size_t kMaxMomentOrder = 4;
// I0 .. I4, then the entropy's integral.
inline constexpr std::size_t kMomentIntegrals = kMaxMomentOrder + 2;
inline constexpr std::size_t kEntropyIntegral = kMaxMomentOrder + 1;

template <class F>
[[nodiscard]] std::expected<QuadratureResult<kMomentIntegrals>, SetupError> integrate_moments(
    const F& f, std::span<const double> breaks, double center, std::size_t orders, const QuadratureOptions& options) {
  const auto components = [center, orders](double x, double fx) {
    std::array<double, kMomentIntegrals> c{};
    const double d = x - center;
    double power = fx;
    c[0] = fx;
    for (std::size_t n = 1; n <= orders && n <= kMaxMomentOrder; ++n) {
      power *= d;
      c[n] = power;
    }
    // f log f tends to 0 with f; log(0) must not turn it into NaN.
    c[kEntropyIntegral] = fx > 0.0 ? fx * std::log(fx) : 0.0;
    return c;
  };
  return integrate_gauss_kronrod<kMomentIntegrals>(f, components, breaks, options);
}

}  // namespace varlix
