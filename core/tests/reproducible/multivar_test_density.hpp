// Test doubles shared by the multivariate sampler tests: a density on a box
// built from a plain function that counts its calls, a counter of the random
// draws an operation consumed, and a correlated Gaussian target with a check
// of a sample's moments against it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
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

// Mean (0.5, -0.3), standard deviations (1, 2), correlation 0.6, on a box
// reaching at least 6 standard deviations from the mean on every side.
struct CorrelatedGaussian {
  static constexpr double kMean[2] = {0.5, -0.3};
  static constexpr double kSd[2] = {1.0, 2.0};
  static constexpr double kRho = 0.6;

  static TestDensity density() {
    return TestDensity{make_box({-7.5, -12.0}, {8.5, 12.0}), [](std::span<const double> x) {
                         const double a = (x[0] - kMean[0]) / kSd[0];
                         const double b = (x[1] - kMean[1]) / kSd[1];
                         return std::exp(-(a * a - 2.0 * kRho * a * b + b * b) / (2.0 * (1.0 - kRho * kRho)));
                       }};
  }

  // Means within mean_tol standard deviations, covariances within cov_tol
  // times the product of the two standard deviations.
  static void expect_moments(const PointBatch& batch, double mean_tol, double cov_tol) {
    const double n = static_cast<double>(batch.size());
    double m[2] = {0.0, 0.0};
    for (std::size_t k = 0; k < batch.size(); ++k) {
      for (int i = 0; i < 2; ++i) m[i] += batch[k][i] / n;
    }
    double c[2][2] = {{0.0, 0.0}, {0.0, 0.0}};
    for (std::size_t k = 0; k < batch.size(); ++k) {
      for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) c[i][j] += (batch[k][i] - m[i]) * (batch[k][j] - m[j]) / n;
      }
    }
    for (int i = 0; i < 2; ++i) {
      EXPECT_NEAR(m[i], kMean[i], mean_tol * kSd[i]) << i;
      for (int j = 0; j < 2; ++j) {
        const double cov = (i == j ? 1.0 : kRho) * kSd[i] * kSd[j];
        EXPECT_NEAR(c[i][j], cov, cov_tol * kSd[i] * kSd[j]) << i << j;
      }
    }
  }
};

}  // namespace varlix::testing
