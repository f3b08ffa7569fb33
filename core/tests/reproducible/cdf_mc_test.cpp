#include "multivar/cdf_mc.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "multivar_test_density.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

using testing::constant_density;
using testing::draws_between;
using testing::make_box;
using testing::TestDensity;

using Estimator = CdfMcEstimator<TestDensity>;

Estimator build(TestDensity pdf, std::uint64_t normalization_samples, std::uint64_t cdf_samples) {
  auto estimator = Estimator::build(std::move(pdf), normalization_samples, cdf_samples);
  EXPECT_TRUE(estimator.has_value());
  return std::move(*estimator);
}

// A density whose value the test can change between calls.
TestDensity switchable(HyperRect box, std::shared_ptr<double> value) {
  return TestDensity{std::move(box), [value](std::span<const double>) { return *value; }};
}

// Every sampled value of a constant density is the same, so the estimates
// are exact: Z = 1 * 2 for any N, and F(1, 0.5) = (1 * 0.5) / 2.
TEST(CdfMc, ExactForAConstantDensity) {
  for (const std::uint64_t n : {0u, 1u, 7u, 1000u}) {
    Estimator estimator = build(constant_density(make_box({0.0, 0.0}, {2.0, 1.0}), 1.0), n, n);
    Rng rng = seed_from_u64(n);
    EXPECT_EQ(estimator.estimate_normalization_with_rng(rng), 2.0);
    EXPECT_EQ(estimator.cdf_with_rng(rng, std::vector<double>{1.0, 0.5}), 0.25);
    EXPECT_EQ(estimator.cdf_with_rng(rng, std::vector<double>{5.0, kNaN}), 1.0);
  }
}

// Draws: N * d for Z, then per point one for each coordinate whose limit
// lies above lo; samples of 0 act as 1.
TEST(CdfMc, DrawAndCallCountsAndTheCache) {
  struct Case {
    std::vector<double> x;
    std::uint64_t draws_per_point;
    double value;
  };
  const std::vector<Case> cases = {
      {{0.5, 0.5, 0.5}, 3, 0.125},
      {{9.0, -kInf, 0.5}, 2, 0.0},  // -inf clips coordinate 1 to its lower bound
      {{0.0, 0.5, kNaN}, 2, 0.0},   // x at lo: no draw there, volume 0
      {{kNaN, 2.0, 1.0}, 3, 1.0},   // NaN and beyond-hi limits are hi
      {{-1.0, -1.0, -1.0}, 0, 0.0},
  };
  for (const Case& c : cases) {
    Estimator estimator = build(constant_density(make_box({0.0, 0.0, 0.0}, {1.0, 1.0, 1.0}), 1.0), 5, 4);
    Rng rng = seed_from_u64(1);
    Rng start = rng;
    EXPECT_EQ(estimator.cdf_with_rng(rng, c.x), c.value);
    EXPECT_EQ(draws_between(start, rng), 5 * 3 + 4 * c.draws_per_point);
    EXPECT_EQ(*estimator.pdf().calls, 5u + 4u);
    EXPECT_EQ(estimator.cached_normalization(), 1.0);
    start = rng;
    EXPECT_EQ(estimator.cdf_with_rng(rng, c.x), c.value);
    EXPECT_EQ(draws_between(start, rng), 4 * c.draws_per_point);
    EXPECT_EQ(*estimator.pdf().calls, 5u + 4u + 4u);
  }
}

TEST(CdfMc, WrongLengthFailsBeforeAnythingElse) {
  Estimator estimator = build(constant_density(make_box({0.0, 0.0}, {1.0, 1.0}), 1.0), 10, 10);
  Rng rng = seed_from_u64(2);
  const Rng start = rng;
  for (const std::vector<double>& x : {std::vector<double>{0.5}, std::vector<double>{}, std::vector<double>{1, 1, 1}}) {
    const auto f = estimator.cdf_with_rng(rng, x);
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().message(), "numerical integration failed");
  }
  EXPECT_EQ(rng, start);
  EXPECT_EQ(*estimator.pdf().calls, 0u);
  EXPECT_FALSE(estimator.cached_normalization().has_value());
}

// A new estimate replaces the cache only when it succeeds.
TEST(CdfMc, EstimatesReplaceTheCacheOnlyOnSuccess) {
  auto value = std::make_shared<double>(3.0);
  Estimator estimator = build(switchable(make_box({0.0}, {1.0}), value), 4, 4);
  Rng rng = seed_from_u64(3);
  EXPECT_EQ(estimator.estimate_normalization_with_rng(rng), 3.0);
  *value = 6.0;
  EXPECT_EQ(estimator.cdf_with_rng(rng, std::vector<double>{0.5}), 1.0);  // (6 * 0.5) / the cached 3
  EXPECT_EQ(estimator.estimate_normalization_with_rng(rng), 6.0);
  for (const double bad : {-1.0, kNaN, kInf, 0.0}) {
    *value = bad;
    const auto z = estimator.estimate_normalization_with_rng(rng);
    ASSERT_FALSE(z.has_value()) << bad;
    EXPECT_EQ(z.error().message(), "numerical integration failed");
    EXPECT_EQ(estimator.cached_normalization(), 6.0);
  }
}

TEST(CdfMc, FirstCdfReportsAFailedNormalization) {
  Estimator estimator = build(constant_density(make_box({0.0}, {1.0}), -1.0), 4, 4);
  const auto f = estimator.cdf(std::vector<double>{0.5});
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error(), SampleError::integration_failed());
  EXPECT_EQ(*estimator.pdf().calls, 4u);
}

// Values above 1 clamp to 1; an empty clipped box times an infinite mean is
// NaN and comes back as NaN.
TEST(CdfMc, Clamping) {
  auto value = std::make_shared<double>(1.0);
  Estimator estimator = build(switchable(make_box({0.0, 0.0}, {1.0, 1.0}), value), 3, 3);
  Rng rng = seed_from_u64(4);
  ASSERT_TRUE(estimator.estimate_normalization_with_rng(rng).has_value());
  *value = 8.0;
  EXPECT_EQ(estimator.cdf_with_rng(rng, std::vector<double>{0.5, 0.75}), 1.0);
  *value = std::numeric_limits<double>::max();
  EXPECT_TRUE(std::isnan(*estimator.cdf_with_rng(rng, std::vector<double>{0.0, 0.5})));
}

TEST(CdfMc, SeededEstimatesRepeat) {
  const TestDensity pdf{make_box({0.0, 0.0}, {1.0, 1.0}), [](std::span<const double> x) { return x[0] * x[1]; }};
  Estimator estimator = build(pdf, 100, 100);
  Rng a = seed_from_u64(3);
  Rng b = seed_from_u64(3);
  EXPECT_EQ(estimator.estimate_normalization_with_rng(a), estimator.estimate_normalization_with_rng(b));
}

// f(x, y) = x + y on the unit square: Z = 1, F(0.5, 0.5) = 1/8. A density
// failing (NaN) on half the box halves Z. 200000 points: standard errors
// near 0.001.
TEST(CdfMc, ClosedForms) {
  const TestDensity sum{make_box({0.0, 0.0}, {1.0, 1.0}), [](std::span<const double> x) { return x[0] + x[1]; }};
  Estimator estimator = build(sum, 200000, 200000);
  Rng rng = seed_from_u64(5);
  EXPECT_NEAR(*estimator.cdf_with_rng(rng, std::vector<double>{0.5, 0.5}), 0.125, 0.005);
  EXPECT_NEAR(*estimator.cached_normalization(), 1.0, 0.01);

  const TestDensity half{make_box({0.0}, {2.0}), [](std::span<const double> x) { return x[0] < 1.0 ? kNaN : 1.0; }};
  Estimator halved = build(half, 200000, 1);
  EXPECT_NEAR(*halved.estimate_normalization_with_rng(rng), 1.0, 0.01);
}

}  // namespace
}  // namespace varlix
