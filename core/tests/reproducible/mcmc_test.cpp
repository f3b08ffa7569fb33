#include "multivar/mcmc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "multivar_test_density.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

using testing::constant_density;
using testing::CorrelatedGaussian;
using testing::draws_between;
using testing::make_box;
using testing::TestDensity;

using Mh = MetropolisHastingsNd<TestDensity>;

MetropolisHastingsParams no_adaptation(double step_size) {
  MetropolisHastingsParams p;
  p.step_size = step_size;
  p.burn_in = 0;
  p.adapt_steps = 0;
  return p;
}

Mh initialized(TestDensity pdf, MetropolisHastingsParams params, std::uint64_t seed = 1) {
  auto mh = Mh::build(std::move(pdf), params);
  EXPECT_TRUE(mh.has_value());
  Rng rng = seed_from_u64(seed);
  EXPECT_TRUE(mh->init_with_rng(rng).has_value());
  return std::move(*mh);
}

// Positive only on the left half of the unit square.
TestDensity left_half() {
  return TestDensity{make_box({0.0, 0.0}, {1.0, 1.0}),
                     [](std::span<const double> x) { return x[0] < 0.5 ? 1.0 + x[1] : 0.0; }};
}

TEST(MetropolisHastings, EveryChainOperationNeedsInit) {
  auto mh = Mh::build(constant_density(make_box({0.0}, {1.0}), 1.0), {});
  ASSERT_TRUE(mh.has_value());
  EXPECT_EQ(mh->accept_rate(), 0.0);
  Rng rng = seed_from_u64(1);
  const std::string text = "mcmc sampler not initialized (call init)";
  EXPECT_EQ(mh->step_with_rng(rng).error().message(), text);
  EXPECT_EQ(mh->step().error().message(), text);
  EXPECT_EQ(mh->sample().error().message(), text);
  EXPECT_EQ(mh->sample_n_with_rng(0, rng).error().message(), text);
  EXPECT_EQ(mh->sample_n(3).error().message(), text);
  EXPECT_EQ(*mh->pdf().calls, 0u);
  EXPECT_EQ(mh->steps(), 0u);
}

TEST(MetropolisHastings, FailedInitLeavesTheChainAlone) {
  auto flag = std::make_shared<bool>(true);
  TestDensity pdf{make_box({0.0, 0.0}, {1.0, 1.0}), [flag](std::span<const double>) { return *flag ? 1.0 : 0.0; }};
  MetropolisHastingsParams params;
  params.init_max_trials = 25;
  Mh mh = initialized(pdf, params);
  Rng rng = seed_from_u64(4);
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(mh.step_with_rng(rng).has_value());
  const std::vector<double> state(mh.state().begin(), mh.state().end());
  const double step_size = mh.step_size();
  *flag = false;
  const std::uint64_t calls = *pdf.calls;
  const auto failed = mh.init();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(), "mcmc sampler failed");
  EXPECT_EQ(*pdf.calls - calls, 25u);
  EXPECT_TRUE(std::ranges::equal(mh.state(), state));
  EXPECT_EQ(mh.steps(), 3u);
  EXPECT_EQ(mh.step_size(), step_size);
}

TEST(MetropolisHastings, InitRestartsTheCountersButKeepsTheStepSize) {
  Mh mh = initialized(constant_density(make_box({0.0, 0.0}, {1.0, 1.0}), 1.0), {});
  Rng rng = seed_from_u64(7);
  for (int k = 0; k < 4; ++k) ASSERT_TRUE(mh.step_with_rng(rng).has_value());
  EXPECT_EQ(mh.accept_rate(), 1.0);
  const double step_size = mh.step_size();
  EXPECT_NE(step_size, MetropolisHastingsParams{}.step_size);
  ASSERT_TRUE(mh.init_with_rng(rng).has_value());
  EXPECT_EQ(mh.steps(), 0u);
  EXPECT_EQ(mh.accepted(), 0u);
  EXPECT_EQ(mh.accept_rate(), 0.0);
  EXPECT_EQ(mh.step_size(), step_size);
}

// One density call per step; 2d draws for the proposal plus the acceptance
// draw only for a valid proposal, which alone may adapt the step size.
TEST(MetropolisHastings, StepCostsAndInvalidProposals) {
  MetropolisHastingsParams params;
  params.step_size = 0.4;
  Mh mh = initialized(left_half(), params, 3);
  const std::uint64_t calls = *mh.pdf().calls;
  Rng rng = seed_from_u64(8);
  int invalid = 0;
  for (int k = 0; k < 200; ++k) {
    const Rng before = rng;
    const double step_size = mh.step_size();
    const std::uint64_t accepted = mh.accepted();
    const std::vector<double> state(mh.state().begin(), mh.state().end());
    ASSERT_TRUE(mh.step_with_rng(rng).has_value());
    const auto draws = draws_between(before, rng, 10);
    ASSERT_TRUE(draws == 4u || draws == 5u);
    if (*draws == 4u) {
      ++invalid;
      EXPECT_EQ(mh.step_size(), step_size);
      EXPECT_EQ(mh.accepted(), accepted);
      EXPECT_TRUE(std::ranges::equal(mh.state(), state));
    } else {
      EXPECT_NE(mh.step_size(), step_size);
      EXPECT_LT(mh.state()[0], 0.5);
    }
  }
  EXPECT_GT(invalid, 10);
  EXPECT_EQ(*mh.pdf().calls - calls, 200u);
  EXPECT_EQ(mh.steps(), 200u);
  EXPECT_EQ(mh.accept_rate(), static_cast<double>(mh.accepted()) / 200.0);
}

TEST(MetropolisHastings, AdaptationOnlyInsideItsWindow) {
  for (const std::uint64_t window : {std::uint64_t{0}, std::uint64_t{5}}) {
    MetropolisHastingsParams params;
    params.step_size = 0.3;
    params.adapt_steps = window;
    Mh mh = initialized(constant_density(make_box({0.0, 0.0}, {1.0, 1.0}), 1.0), params);
    Rng rng = seed_from_u64(2);
    std::vector<double> sizes;
    for (int k = 0; k < 12; ++k) {
      ASSERT_TRUE(mh.step_with_rng(rng).has_value());
      sizes.push_back(mh.step_size());
    }
    for (std::size_t k = 0; k < sizes.size(); ++k) {
      if (k < window) {
        EXPECT_NE(sizes[k], k == 0 ? 0.3 : sizes[k - 1]) << k;
      } else {
        EXPECT_EQ(sizes[k], k == 0 ? 0.3 : sizes[k - 1]) << window << " " << k;
      }
    }
  }
}

// A constant density accepts every proposal: rate 1, delta = 1 - target,
// clamped to 0.2, so the first step multiplies by exp(0.2 / sqrt(11)).
TEST(MetropolisHastings, AdaptationFormulaAndClamps) {
  struct Case {
    double start, after_one;
  };
  const std::vector<Case> cases = {
      {0.5, std::exp(std::log(0.5) + 0.2 / std::sqrt(11.0))},
      {9.99, 10.0},
      {1e6, 10.0},
      {1e-9, 1e-4},
      {0.0, 1e-4},  // exp(-inf) = 0, clamped
  };
  for (const Case& c : cases) {
    MetropolisHastingsParams params;
    params.step_size = c.start;
    Mh mh = initialized(constant_density(make_box({0.0}, {1.0}), 1.0), params);
    Rng rng = seed_from_u64(6);
    ASSERT_TRUE(mh.step_with_rng(rng).has_value());
    EXPECT_EQ(mh.accepted(), 1u);
    EXPECT_EQ(mh.step_size(), c.after_one) << c.start;
    for (int k = 0; k < 50; ++k) ASSERT_TRUE(mh.step_with_rng(rng).has_value());
    EXPECT_TRUE(mh.step_size() >= 1e-4 && mh.step_size() <= 10.0);
  }
}

TEST(MetropolisHastings, ZeroStepSizeStaysAndAcceptsWithoutAdaptation) {
  Mh mh = initialized(constant_density(make_box({0.0, 0.0}, {1.0, 1.0}), 1.0), no_adaptation(0.0));
  const std::vector<double> state(mh.state().begin(), mh.state().end());
  Rng rng = seed_from_u64(6);
  for (int k = 0; k < 20; ++k) ASSERT_TRUE(mh.step_with_rng(rng).has_value());
  EXPECT_TRUE(std::ranges::equal(mh.state(), state));
  EXPECT_EQ(mh.accept_rate(), 1.0);
  EXPECT_EQ(mh.step_size(), 0.0);
}

// burn_in runs at every batch, n = 0 included; thin 0 acts as 1.
TEST(MetropolisHastings, BatchStepCounts) {
  struct Case {
    std::uint64_t burn_in, thin, n, steps;
  };
  const std::vector<Case> cases = {{7, 1, 0, 7}, {7, 2, 3, 13}, {7, 0, 3, 10}, {0, 3, 2, 6}};
  for (const Case& c : cases) {
    MetropolisHastingsParams params;
    params.burn_in = c.burn_in;
    params.thin = c.thin;
    Mh mh = initialized(constant_density(make_box({0.0, 0.0}, {1.0, 1.0}), 1.0), params);
    for (int call = 1; call <= 2; ++call) {
      Rng rng = seed_from_u64(5);
      const Rng start = rng;
      const auto batch = mh.sample_n_with_rng(c.n, rng);
      ASSERT_TRUE(batch.has_value());
      EXPECT_EQ(batch->size(), c.n);
      EXPECT_EQ(mh.steps(), call * c.steps);
      EXPECT_EQ(draws_between(start, rng), c.steps * 5);  // constant density: every proposal valid
    }
  }
}

TEST(MetropolisHastings, BatchHoldsTheStateAfterEachThinnedStep) {
  MetropolisHastingsParams params;
  params.burn_in = 3;
  params.thin = 2;
  const TestDensity pdf{make_box({-3.0, -3.0}, {3.0, 3.0}),
                        [](std::span<const double> x) { return std::exp(-0.5 * (x[0] * x[0] + x[1] * x[1])); }};
  Mh a = initialized(pdf, params, 9);
  Mh b = initialized(pdf, params, 9);
  Rng ra = seed_from_u64(10);
  Rng rb = seed_from_u64(10);
  const auto batch = a.sample_n_with_rng(4, ra);
  ASSERT_TRUE(batch.has_value());
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(b.step_with_rng(rb).has_value());
  for (std::size_t k = 0; k < 4; ++k) {
    ASSERT_TRUE(b.step_with_rng(rb).has_value());
    const auto x = b.step_with_rng(rb);
    EXPECT_TRUE(std::ranges::equal(*x, (*batch)[k])) << k;
  }
  EXPECT_EQ(ra, rb);
}

// Proposals that reflection cannot bring back (or that take it beyond its
// stepwise range) neither hang the chain nor enter its state.
TEST(MetropolisHastings, ExtremeStepSizesKeepTheStateInTheBox) {
  for (const double step_size : {1e300, 1e12, kInf, kNaN}) {
    Mh mh = initialized(constant_density(make_box({0.0, -1.0}, {1.0, 1e-3}), 1.0), no_adaptation(step_size));
    Rng rng = seed_from_u64(12);
    for (int k = 0; k < 100; ++k) {
      const auto x = mh.step_with_rng(rng);
      ASSERT_TRUE(x.has_value());
      EXPECT_TRUE(0.0 <= (*x)[0] && (*x)[0] <= 1.0 && -1.0 <= (*x)[1] && (*x)[1] <= 1e-3) << step_size;
    }
    EXPECT_EQ(*mh.pdf().calls, 1u + 100u);
    if (std::isfinite(step_size)) {
      EXPECT_EQ(mh.accepted(), 100u);
    } else {
      EXPECT_EQ(mh.accepted(), 0u);
    }
  }
}

// A negative step size turns NaN at the first adaptation (documented);
// from then on every proposal is NaN and rejected.
TEST(MetropolisHastings, NegativeStepSizeBecomesNaNButTheStateStaysFinite) {
  MetropolisHastingsParams params;
  params.step_size = -0.5;
  Mh mh = initialized(constant_density(make_box({0.0}, {1.0}), 1.0), params);
  Rng rng = seed_from_u64(13);
  for (int k = 0; k < 10; ++k) ASSERT_TRUE(mh.step_with_rng(rng).has_value());
  EXPECT_TRUE(std::isnan(mh.step_size()));
  EXPECT_EQ(mh.accepted(), 1u);
  EXPECT_TRUE(std::isfinite(mh.state()[0]));
}

// 100000 correlated steps leave a few thousand effective points: standard
// errors near 0.015 sd for the means and 0.03 for the covariances.
TEST(MetropolisHastings, ReproducesACorrelatedGaussian) {
  MetropolisHastingsParams params;
  params.step_size = 1.0;
  params.burn_in = 3000;
  Mh mh = initialized(CorrelatedGaussian::density(), params, 16);
  Rng rng = seed_from_u64(17);
  const auto batch = mh.sample_n_with_rng(100000, rng);
  ASSERT_TRUE(batch.has_value());
  EXPECT_GT(mh.accept_rate(), 0.1);
  CorrelatedGaussian::expect_moments(*batch, 0.06, 0.1);
}

}  // namespace
}  // namespace varlix
