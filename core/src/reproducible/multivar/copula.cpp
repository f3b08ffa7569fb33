#include "multivar/copula.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace varlix {

namespace {

constexpr double kSqrt2 = 1.4142135623730951;
// erfcc's polynomial in t, constant term first (Numerical Recipes).
constexpr std::array<double, 10> kErfccCoefficients = {
    -1.26551223, 1.00002368, 0.37409196, 0.09678418, -0.18628806,
    0.27886807,  -1.13520398, 1.48851587, -0.82215223, 0.17087277,
};
// The quantile functions get u strictly inside (0, 1), even where the
// approximation saturates at exactly 0 or 1.
constexpr double kMinUniform = 1e-12;
constexpr double kMaxUniform = 0.999999999999;

}  // namespace

double standard_normal_cdf(double y) {
  const double b = y / kSqrt2;
  const double t = 1.0 / (1.0 + 0.5 * std::fabs(b));
  const double t2 = t * t;
  const double t3 = t * t2;
  const double t4 = t2 * t2;
  const double t5 = t * t4;
  const double t6 = t2 * t4;
  const double t7 = t3 * t4;
  const double t8 = t4 * t4;
  const double t9 = t * t8;
  const std::array<double, 10> powers = {1.0, t, t2, t3, t4, t5, t6, t7, t8, t9};
  double a = kErfccCoefficients[0] - b * b;
  for (std::size_t k = 1; k < powers.size(); ++k) a = a + kErfccCoefficients[k] * powers[k];
  const double tau = std::exp(a) * t;  // erfc(|b|)
  double e = 1.0 - tau;
  if (b < 0.0) e = -e;
  return (e + 1.0) * 0.5;
}

std::expected<GaussianCopula, CopulaError> GaussianCopula::build(std::vector<std::vector<double>> corr) {
  const std::size_t d = corr.size();
  if (d == 0) return std::unexpected(CopulaError::InvalidCorrelation);
  for (const auto& row : corr) {
    if (row.size() != d) return std::unexpected(CopulaError::InvalidCorrelation);
  }
  // L overwrites the lower triangle in place: entry (i, j) is read before it
  // is replaced, and every other entry used is already an entry of L. Working
  // in place needs no allocation that could fail.
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double s = corr[i][j];
      for (std::size_t k = 0; k < j; ++k) s = s - corr[i][k] * corr[j][k];
      if (j == i) {
        if (!(std::isfinite(s) && s > 0.0)) return std::unexpected(CopulaError::InvalidCorrelation);
        corr[i][i] = std::sqrt(s);
      } else {
        if (corr[j][j] == 0.0) return std::unexpected(CopulaError::InvalidCorrelation);
        corr[i][j] = s / corr[j][j];
      }
    }
    std::fill(corr[i].begin() + static_cast<std::ptrdiff_t>(i) + 1, corr[i].end(), 0.0);
  }
  return GaussianCopula(std::move(corr));
}

void GaussianCopula::correlated_normals(Rng& rng, std::vector<double>& y) const {
  for (double& z : y) z = standard_normal(rng);
  // From the last row up: row i needs only z_0..z_i, still untouched.
  for (std::size_t i = y.size(); i-- > 0;) {
    double sum = 0.0;
    for (std::size_t j = 0; j <= i; ++j) sum += factor_[i][j] * y[j];
    y[i] = sum;
  }
}

double GaussianCopula::clamped_uniform(double y) {
  return std::clamp(standard_normal_cdf(y), kMinUniform, kMaxUniform);
}

}  // namespace varlix
