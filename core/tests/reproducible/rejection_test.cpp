#include "multivar/rejection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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

using Sampler = RejectionSamplerNd<TestDensity>;

HyperRect unit_square() { return make_box({0.0, 0.0}, {1.0, 1.0}); }

TEST(RejectionSampler, PdfMaxMustBeFiniteAndPositive) {
  for (const double pdf_max : {0.0, -0.0, -1.0, kNaN, kInf, -kInf}) {
    const auto sampler = Sampler::build(constant_density(unit_square(), 1.0), 10, pdf_max);
    ASSERT_FALSE(sampler.has_value()) << pdf_max;
    EXPECT_EQ(sampler.error().message(), "pdf_max must be finite and positive");
  }
  const auto tiny = Sampler::build(constant_density(unit_square(), 1.0), 10, 5e-324);
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ(tiny->pdf_max(), 5e-324);
  EXPECT_EQ(tiny->dim(), 2u);
}

// Draws per trial: d for an unusable density value, d + 1 otherwise.
TEST(RejectionSampler, DrawAndCallCounts) {
  struct Case {
    double value;
    bool accepts;
  };
  const std::vector<Case> cases = {{1.0, true}, {kNaN, false}, {kInf, false}, {-kInf, false}, {-2.0, false}};
  constexpr std::uint64_t kTrials = 9;
  for (const Case& c : cases) {
    const auto sampler = Sampler::build(constant_density(make_box({0, 0, 0}, {1, 2, 3}), c.value), kTrials, 1.0);
    ASSERT_TRUE(sampler.has_value());
    Rng rng = seed_from_u64(21);
    const Rng start = rng;
    const auto batch = sampler->sample_n_with_rng(c.accepts ? 5 : 1, rng);
    if (c.accepts) {
      ASSERT_TRUE(batch.has_value());
      EXPECT_EQ(*sampler->pdf().calls, 5u);
      EXPECT_EQ(draws_between(start, rng), 5u * (3 + 1));
    } else {
      ASSERT_FALSE(batch.has_value()) << c.value;
      EXPECT_EQ(batch.error().message(), "rejection sampler failed to accept");
      EXPECT_EQ(*sampler->pdf().calls, kTrials);
      EXPECT_EQ(draws_between(start, rng), kTrials * 3);
    }
  }
}

TEST(RejectionSampler, ZeroDensityTakesTheAcceptanceDrawAndFails) {
  const auto sampler = Sampler::build(constant_density(unit_square(), 0.0), 6, 1.0);
  Rng rng = seed_from_u64(2);
  const Rng start = rng;
  const auto x = sampler->sample_with_rng(rng);
  ASSERT_FALSE(x.has_value());
  EXPECT_EQ(x.error(), SampleError::rejection_failed());
  EXPECT_EQ(draws_between(start, rng), 6u * 3);
}

TEST(RejectionSampler, ZeroMaxTrialsFailsWithoutDrawing) {
  const auto sampler = Sampler::build(constant_density(unit_square(), 1.0), 0, 1.0);
  Rng rng = seed_from_u64(2);
  const Rng start = rng;
  EXPECT_EQ(sampler->sample_with_rng(rng).error(), SampleError::rejection_failed());
  EXPECT_EQ(rng, start);
  EXPECT_EQ(*sampler->pdf().calls, 0u);
}

TEST(RejectionSampler, SeededBatchesRepeatAndKeepTheirPrefix) {
  const TestDensity pdf{unit_square(), [](std::span<const double> x) { return x[0] * x[1]; }};
  const auto sampler = Sampler::build(pdf, 1000, 1.0);
  Rng a = seed_from_u64(7);
  Rng b = seed_from_u64(7);
  Rng c = seed_from_u64(7);
  const auto ten = sampler->sample_n_with_rng(10, a);
  const auto again = sampler->sample_n_with_rng(10, b);
  ASSERT_TRUE(ten.has_value() && again.has_value());
  EXPECT_EQ(ten->values(), again->values());
  for (std::size_t k = 0; k < 4; ++k) {
    const auto one = sampler->sample_with_rng(c);
    ASSERT_TRUE(one.has_value());
    EXPECT_TRUE(std::ranges::equal(*one, (*ten)[k])) << k;
  }
}

TEST(RejectionSampler, HugeBatchIsOutOfMemoryBeforeDrawing) {
  const auto sampler = Sampler::build(constant_density(unit_square(), 1.0), 10, 1.0);
  Rng rng = seed_from_u64(1);
  const Rng start = rng;
  EXPECT_EQ(sampler->sample_n_with_rng(std::uint64_t{1} << 61, rng).error(), SampleError::out_of_memory());
  EXPECT_EQ(rng, start);
}

// f(x, y) = x + y on the unit square: E[x] = 7/12, E[x y] = 1/3. 40000
// points: standard errors near 0.0014, the tolerances are above 5 of them.
TEST(RejectionSampler, ReproducesMomentsOfItsDensity) {
  const TestDensity pdf{unit_square(), [](std::span<const double> x) { return x[0] + x[1]; }};
  const auto sampler = Sampler::build(pdf, 1000, 2.0);
  Rng rng = seed_from_u64(99);
  const auto batch = sampler->sample_n_with_rng(40000, rng);
  ASSERT_TRUE(batch.has_value());
  double sum_x = 0.0;
  double sum_xy = 0.0;
  for (std::size_t k = 0; k < batch->size(); ++k) {
    sum_x += (*batch)[k][0];
    sum_xy += (*batch)[k][0] * (*batch)[k][1];
  }
  EXPECT_NEAR(sum_x / 40000, 7.0 / 12.0, 0.008);
  EXPECT_NEAR(sum_xy / 40000, 1.0 / 3.0, 0.008);
}

}  // namespace
}  // namespace varlix
