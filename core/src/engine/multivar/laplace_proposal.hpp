// Independence proposals around a Laplace approximation: a multivariate t
// with kDegrees degrees of freedom, centred on the mode, shaped by the
// approximation's covariance factor L (y = mode + L z / sqrt(w), z standard
// normal, w a chi-square over its degrees).
//
// A random walk shaped like the posterior takes posterior-sized steps, so
// from a start far out in the tails (hundreds of sds away, as a start at 0
// often is for a regression with many observations) it crawls: a warm-up
// of a thousand steps may never reach the bulk. A Metropolis-Hastings move
// that proposes from this t and accepts by min(1, pi(y) q(x) / (pi(x) q(y)))
// takes a chain there in one step, and leaves a chain that is already in a
// region of real mass where it is (q(x) there is as large as pi(x) asks).
// The t's polynomial tails make the move accepted from wherever the target
// falls off faster than a power, which a Gaussian's would not be.
// Reference: Tierney (1994), "Markov chains for exploring posterior
// distributions" (independence and mixture kernels).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "multivar/log_density.hpp"
#include "uniform_source.hpp"

namespace varlix {

struct LaplaceProposal {
  // Heavy enough tails to reach any start, light enough that a proposal
  // lands in the bulk most of the time.
  static constexpr int kDegrees = 4;

  std::span<const double> mode;    // empty: no proposal
  std::span<const double> factor;  // row-major d x d, lower triangular

  [[nodiscard]] bool empty() const { return mode.empty(); }

  // A draw into y; returns ln q(y) up to a constant. z holds d doubles of
  // scratch.
  template <UniformSource S>
  double draw(S& source, std::span<double> z, std::span<double> y) const {
    const std::size_t d = mode.size();
    fill_standard_normal(source, z);
    double chi[kDegrees];
    fill_standard_normal(source, std::span<double>(chi));
    double w = 0.0;
    for (const double c : chi) w += c * c;
    // w = 0 has probability zero; a tiny floor keeps the point finite.
    const double scale = 1.0 / std::sqrt(std::max(w / kDegrees, 1e-300));
    double r2 = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
      double s = 0.0;
      for (std::size_t j = 0; j <= i; ++j) s += factor[i * d + j] * z[j];
      y[i] = mode[i] + scale * s;
      r2 += z[i] * z[i];
    }
    return log_kernel(r2 * scale * scale, d);
  }

  // ln q(x) up to the constant of draw(); work holds d doubles.
  [[nodiscard]] double log_density(std::span<const double> x, std::span<double> work) const {
    const std::size_t d = mode.size();
    double r2 = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
      double s = x[i] - mode[i];
      for (std::size_t j = 0; j < i; ++j) s -= factor[i * d + j] * work[j];
      work[i] = s / factor[i * d + i];
      r2 += work[i] * work[i];
    }
    return log_kernel(r2, d);
  }

 private:
  // The t's log density at squared Mahalanobis distance r2.
  [[nodiscard]] static double log_kernel(double r2, std::size_t d) {
    return -0.5 * (kDegrees + static_cast<double>(d)) * std::log1p(r2 / kDegrees);
  }
};

}  // namespace varlix
