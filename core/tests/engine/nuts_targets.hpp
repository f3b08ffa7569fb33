// Log-densities with gradients for the tests of the No-U-Turn sampler and
// its warm-up, and a check of a chain's moments against known ones with
// their Monte Carlo standard errors.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace varlix::testing {

// Independent centred Gaussian coordinates with the given standard
// deviations; value and gradient in one call.
struct ScaledGaussian {
  std::vector<double> sd;
  bool value_and_gradient(std::span<const double> x, std::span<double> g, double& value) const {
    value = (*this)(x);
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = -x[i] / (sd[i] * sd[i]);
    return true;
  }
  double operator()(std::span<const double> x) const {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += (x[i] / sd[i]) * (x[i] / sd[i]);
    return -0.5 * s;
  }
};

// d scales log-uniform in [lo, hi], on a fixed grid (a fixed target is
// easier to reason about than a random one).
inline std::vector<double> log_uniform_scales(std::size_t d, double lo, double hi) {
  std::vector<double> s(d);
  for (std::size_t i = 0; i < d; ++i) {
    s[i] = lo * std::pow(hi / lo, static_cast<double>(i) / static_cast<double>(d - 1));
  }
  return s;
}

// Chain draws (n x d, row-major): each coordinate's mean and second moment
// within `k` Monte Carlo standard errors of 0 and var[i], the errors from
// 50 batch means (which include the chain's autocorrelation).
inline void expect_centred_moments(const std::vector<double>& draws, std::size_t d, const std::vector<double>& var,
                                   double k) {
  const std::size_t n = draws.size() / d;
  constexpr std::size_t kBatches = 50;
  const std::size_t per = n / kBatches;
  for (std::size_t i = 0; i < d; ++i) {
    for (const int power : {1, 2}) {
      std::vector<double> batch(kBatches, 0.0);
      for (std::size_t b = 0; b < kBatches; ++b) {
        for (std::size_t t = b * per; t < (b + 1) * per; ++t) batch[b] += std::pow(draws[t * d + i], power);
        batch[b] /= static_cast<double>(per);
      }
      double mean = 0.0;
      for (const double v : batch) mean += v / kBatches;
      double spread = 0.0;
      for (const double v : batch) spread += (v - mean) * (v - mean) / (kBatches - 1);
      const double mcse = std::sqrt(spread / kBatches);
      const double expected = power == 1 ? 0.0 : var[i];
      EXPECT_NEAR(mean, expected, k * mcse) << "coordinate " << i << ", moment " << power;
    }
  }
}

}  // namespace varlix::testing
