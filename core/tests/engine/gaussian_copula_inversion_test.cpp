// Gaussian copula by inversion: the normal CDF's tail accuracy, the normals'
// moments, the dependence of the uniforms (a closed form), rows independent
// of chunking; and the broken-line quantile of a histogram.
#include "multivar/gaussian_copula_inversion.hpp"
#include "continuous/broken_line_quantile.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "random.hpp"

namespace varlix {
namespace {

TEST(GaussianCopula, NormalCdfKeepsRelativeAccuracyInTheLowerTail) {
  // Φ(-10), Φ(-1), Φ(0), Φ(2) to 15 digits (Abramowitz & Stegun, table 26.1
  // and its tail extension).
  EXPECT_NEAR(standard_normal_cdf(-10.0) / 7.619853024160527e-24, 1.0, 1e-14);
  EXPECT_NEAR(standard_normal_cdf(-1.0), 0.15865525393145707, 1e-16);
  EXPECT_EQ(standard_normal_cdf(0.0), 0.5);
  EXPECT_NEAR(standard_normal_cdf(2.0), 0.9772498680518208, 1e-16);
}

TEST(GaussianCopula, PolarNormalsHaveUnitMomentsAndAreIndependentInPairs) {
  Rng rng = seed_from_u64(1);
  RngSource source(rng);
  PolarNormals normals;
  constexpr int kN = 400'000;
  double sum = 0, sum2 = 0, sum4 = 0, cross = 0;
  for (int i = 0; i < kN / 2; ++i) {
    const double a = normals.next(source);
    const double b = normals.next(source);
    sum += a + b;
    sum2 += a * a + b * b;
    sum4 += a * a * a * a + b * b * b * b;
    cross += a * b;
  }
  // Standard errors: mean 1/sqrt(N), variance sqrt(2/N), kurtosis sqrt(96/N); 5 of each.
  EXPECT_NEAR(sum / kN, 0.0, 5 / std::sqrt(kN));
  EXPECT_NEAR(sum2 / kN, 1.0, 5 * std::sqrt(2.0 / kN));
  EXPECT_NEAR(sum4 / kN, 3.0, 5 * std::sqrt(96.0 / kN));
  EXPECT_NEAR(cross / (kN / 2), 0.0, 5 / std::sqrt(kN / 2));
}

TEST(GaussianCopula, UniformsHaveThePearsonCorrelationOfTheCopula) {
  // For uniforms of a Gaussian copula, corr = (6/π) asin(ρ/2).
  constexpr double kRho = 0.7;
  const std::vector<double> chol = {1.0, 0.0, kRho, std::sqrt(1 - kRho * kRho)};
  Rng rng = seed_from_u64(2);
  RngSource source(rng);
  constexpr std::size_t kRows = 200'000;
  std::vector<double> out(2 * kRows), z(2);
  sample_gaussian_copula(source, chol, 2, [](std::size_t, double u) { return u; }, z, out);
  double s0 = 0, s1 = 0, s00 = 0, s11 = 0, s01 = 0;
  for (std::size_t r = 0; r < kRows; ++r) {
    const double a = out[2 * r], b = out[2 * r + 1];
    ASSERT_TRUE(a > 0.0 && a < 1.0 && b > 0.0 && b < 1.0);
    s0 += a, s1 += b, s00 += a * a, s11 += b * b, s01 += a * b;
  }
  const double n = kRows;
  const double corr = (s01 / n - s0 / n * s1 / n) /
                      std::sqrt((s00 / n - s0 * s0 / (n * n)) * (s11 / n - s1 * s1 / (n * n)));
  EXPECT_NEAR(s0 / n, 0.5, 0.003);
  EXPECT_NEAR(corr, 6.0 / std::numbers::pi * std::asin(kRho / 2), 0.005);
}

TEST(GaussianCopula, RowsDrawnInChunksAreTheRowsDrawnAtOnce) {
  const std::vector<double> chol = {1, 0, 0, 0.5, 0.8660254037844386, 0, 0.1, 0.2, 0.9746794344808963};
  const auto quantile = [](std::size_t j, double u) { return static_cast<double>(j) + u; };
  std::vector<double> whole(3 * 101), chunked(3 * 101), z(3);
  Rng a = seed_from_u64(5);
  RngSource sa(a);
  sample_gaussian_copula(sa, chol, 3, quantile, z, whole);
  Rng b = seed_from_u64(5);
  RngSource sb(b);
  const std::span<double> all(chunked);
  sample_gaussian_copula(sb, chol, 3, quantile, z, all.subspan(0, 3 * 50));
  sample_gaussian_copula(sb, chol, 3, quantile, z, all.subspan(3 * 50));
  EXPECT_EQ(whole, chunked);
}

TEST(BrokenLineQuantile, InterpolatesAndJumpsAcrossFlatRuns) {
  // Bins [0,1] mass 0.5, [1,3] empty, [3,4] mass 0.5: the flat run keeps both ends.
  const std::vector<double> levels = {0.0, 0.5, 0.5, 1.0};
  const std::vector<double> knots = {0.0, 1.0, 3.0, 4.0};
  BrokenLineQuantile q;
  ASSERT_TRUE(q.build(levels, knots));
  EXPECT_EQ(q(0.0), 0.0);
  EXPECT_EQ(q(0.25), 0.5);
  EXPECT_NEAR(q(0.5 - 1e-12), 1.0, 1e-11);
  EXPECT_EQ(q(0.5), 3.0);  // right-continuous, as NumPy's interp
  EXPECT_NEAR(q(0.75), 3.5, 1e-15);
  EXPECT_EQ(q(1.0), 4.0);
}

TEST(BrokenLineQuantile, AgreesWithABinarySearchOnUnevenLevels) {
  std::vector<double> levels = {0.0}, knots = {0.0};
  for (int i = 1; i <= 40; ++i) {
    levels.push_back(levels.back() + (i % 7 == 0 ? 0.0 : 1.0 / (1 + i % 5)));
    knots.push_back(static_cast<double>(i) * 0.5);
  }
  BrokenLineQuantile q;
  ASSERT_TRUE(q.build(levels, knots));
  for (int k = 0; k <= 1000; ++k) {
    const double u = levels.back() * k / 1000.0;
    const auto after = std::upper_bound(levels.begin(), levels.end(), u);
    double expected = knots.back();
    if (after != levels.end()) {
      const std::size_t i = static_cast<std::size_t>(after - levels.begin()) - 1;
      expected = knots[i] + (u - levels[i]) / (levels[i + 1] - levels[i]) * (knots[i + 1] - knots[i]);
    }
    EXPECT_DOUBLE_EQ(q(u), expected) << u;
  }
}

}  // namespace
}  // namespace varlix
