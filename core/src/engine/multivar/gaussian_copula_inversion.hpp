// Draws from a Gaussian copula with given marginals by inversion.
//
// A row is x_j = Q_j(Φ((L z)_j)), with z standard normal, L the lower
// Cholesky factor of the correlation matrix and Q_j the quantile function
// of marginal j (a numerical-inversion table or a histogram's closed form).
// The right tool for many rows over marginals that invert fast: the whole
// draw is arithmetic on tables, without any user function.
//
// Normals come from Marsaglia & Bray's polar method (1964, "A convenient
// method for generating normal variables"), two per accepted pair of
// uniforms; Φ(y) = erfc(-y/√2)/2 keeps full relative accuracy in the lower
// tail. References: Nelsen (2006), "An Introduction to Copulas", §2.9.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "uniform_source.hpp"

namespace varlix {

// Two independent standard normals per call.
class PolarNormals {
 public:
  template <UniformSource S>
  double next(S& source) {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double v1 = 0.0, v2 = 0.0, s = 0.0;
    do {
      v1 = 2.0 * source.next_double() - 1.0;
      v2 = 2.0 * source.next_double() - 1.0;
      s = v1 * v1 + v2 * v2;
      // s = 0 would divide by zero; s >= 1 lies outside the unit disc.
    } while (s >= 1.0 || s == 0.0);
    const double factor = std::sqrt(-2.0 * std::log(s) / s);
    spare_ = v2 * factor;
    has_spare_ = true;
    return v1 * factor;
  }

 private:
  double spare_ = 0.0;
  bool has_spare_ = false;
};

[[nodiscard]] inline double standard_normal_cdf(double y) { return 0.5 * std::erfc(-y * M_SQRT1_2); }

// out (rows of length d, row-major) gets out.size() / d rows. `chol` is the
// d x d lower Cholesky factor, row-major; `z` is scratch of length d.
// quantile(j, u) maps column j's uniform to its marginal. No allocation.
template <UniformSource S, class Quantile>
void sample_gaussian_copula(S& source, std::span<const double> chol, std::size_t d, const Quantile& quantile,
                            std::span<double> z, std::span<double> out) {
  const std::size_t rows = out.size() / d;
  for (std::size_t r = 0; r < rows; ++r) {
    // Each row draws its own pairs (the spare of an odd d is dropped), so
    // rows drawn in chunks are the rows drawn at once.
    PolarNormals normals;
    for (std::size_t j = 0; j < d; ++j) z[j] = normals.next(source);
    double* row = out.data() + r * d;
    for (std::size_t i = 0; i < d; ++i) {
      double y = 0.0;
      for (std::size_t j = 0; j <= i; ++j) y += chol[i * d + j] * z[j];
      row[i] = quantile(i, standard_normal_cdf(y));
    }
  }
}

}  // namespace varlix
