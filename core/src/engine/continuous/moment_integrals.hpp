// The integrals behind the mean, variance and entropy of a law known by an
// unnormalized density f: one adaptive Gauss–Kronrod pass gives
//   I0 = ∫ f,  I1 = ∫ (x - c) f,  I2 = ∫ (x - c)² f,  I3 = ∫ f log f,
// from which  mean = c + I1/I0,  var = I2/I0 - (I1/I0)²  and
// entropy = log I0 - I3/I0.  The center c (the median, say) keeps the
// second moment free of the cancellation that x² f would suffer for a law
// far from 0. The options may carry the mass known for each interval of the
// partition (see QuadratureOptions::expected_mass).
#pragma once

#include <array>
#include <cmath>
#include <expected>
#include <span>

#include "continuous/gauss_kronrod.hpp"

namespace varlix {

inline constexpr std::size_t kMomentIntegrals = 4;

template <class F>
[[nodiscard]] std::expected<QuadratureResult<kMomentIntegrals>, SetupError> integrate_moments(
    const F& f, std::span<const double> breaks, double center, const QuadratureOptions& options) {
  const auto components = [center](double x, double fx) {
    const double d = x - center;
    // f log f tends to 0 with f; log(0) must not turn it into NaN.
    const double f_log_f = fx > 0.0 ? fx * std::log(fx) : 0.0;
    return std::array<double, kMomentIntegrals>{fx, d * fx, d * d * fx, f_log_f};
  };
  return integrate_gauss_kronrod<kMomentIntegrals>(f, components, breaks, options);
}

}  // namespace varlix
