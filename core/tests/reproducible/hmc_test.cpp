#include "multivar/hmc.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "multivar_test_density.hpp"

namespace varlix {
namespace {

using testing::constant_density;
using testing::CorrelatedGaussian;
using testing::draws_between;
using testing::make_box;
using testing::TestDensity;

using Hmc = HmcSamplerNd<TestDensity>;

Hmc initialized(TestDensity pdf, HmcParams params, std::uint64_t seed = 1) {
  auto hmc = Hmc::build(std::move(pdf), params);
  EXPECT_TRUE(hmc.has_value());
  Rng rng = seed_from_u64(seed);
  EXPECT_TRUE(hmc->init_with_rng(rng).has_value());
  return std::move(*hmc);
}

TestDensity standard_normal_2d(double half_width = 8.0) {
  return TestDensity{make_box({-half_width, -half_width}, {half_width, half_width}),
                     [](std::span<const double> x) { return std::exp(-0.5 * (x[0] * x[0] + x[1] * x[1])); }};
}

TEST(Hmc, TransitionsNeedInitExceptAnEmptyBatch) {
  auto hmc = Hmc::build(standard_normal_2d(), {});
  ASSERT_TRUE(hmc.has_value());
  Rng rng = seed_from_u64(1);
  const std::string text = "mcmc sampler not initialized (call init)";
  EXPECT_EQ(hmc->sample_with_rng(rng).error().message(), text);
  EXPECT_EQ(hmc->sample().error().message(), text);
  EXPECT_EQ(hmc->sample_n_with_rng(1, rng).error().message(), text);
  const auto empty = hmc->sample_n_with_rng(0, rng);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_EQ(*hmc->pdf().calls, 0u);
}

TEST(Hmc, FailedInitReportsMcmcFailed) {
  HmcParams params;
  params.init_max_trials = 30;
  auto hmc = Hmc::build(constant_density(make_box({0.0}, {1.0}), -1.0), params);
  const auto result = hmc->init();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(), "mcmc sampler failed");
  EXPECT_EQ(*hmc->pdf().calls, 30u);
  EXPECT_FALSE(hmc->initialized());
}

// 2d(L+1)+1 density calls; 2d draws for the momentum plus one acceptance
// draw when the end point is valid.
TEST(Hmc, TransitionCosts) {
  for (const std::uint64_t leapfrog_steps : {0u, 1u, 3u, 10u}) {
    HmcParams params;
    params.step_size = 0.3;
    params.leapfrog_steps = leapfrog_steps;
    Hmc hmc = initialized(standard_normal_2d(), params);
    const std::uint64_t calls = *hmc.pdf().calls;
    Rng rng = seed_from_u64(2);
    const Rng start = rng;
    ASSERT_TRUE(hmc.sample_n_with_rng(5, rng).has_value());
    EXPECT_EQ(*hmc.pdf().calls - calls, 5 * (2 * 2 * (leapfrog_steps + 1) + 1));
    EXPECT_EQ(draws_between(start, rng), 5u * (2 * 2 + 1));
  }
}

TEST(Hmc, InvalidEndPointIsRejectedWithoutAcceptanceDraw) {
  // Valid only left of 0.5; long trajectories leave that region.
  const TestDensity pdf{make_box({0.0}, {1.0}), [](std::span<const double> x) { return x[0] < 0.5 ? 1.0 : 0.0; }};
  HmcParams params;
  params.step_size = 0.2;
  params.leapfrog_steps = 4;
  Hmc hmc = initialized(pdf, params);
  Rng rng = seed_from_u64(3);
  int rejected = 0;
  for (int k = 0; k < 100; ++k) {
    const Rng before = rng;
    const double state = hmc.state()[0];
    ASSERT_TRUE(hmc.sample_with_rng(rng).has_value());
    const auto draws = draws_between(before, rng, 4);
    ASSERT_TRUE(draws == 2u || draws == 3u);
    if (draws == 2u) {
      ++rejected;
      EXPECT_EQ(hmc.state()[0], state);
    }
    EXPECT_LT(hmc.state()[0], 0.5);
  }
  EXPECT_GT(rejected, 10);
}

// With L = 0 the momentum takes half a step forward and back and the
// position never moves.
TEST(Hmc, NoLeapfrogStepsKeepsThePosition) {
  HmcParams params;
  params.leapfrog_steps = 0;
  Hmc hmc = initialized(standard_normal_2d(), params);
  const std::vector<double> state(hmc.state().begin(), hmc.state().end());
  Rng rng = seed_from_u64(4);
  for (int k = 0; k < 10; ++k) ASSERT_TRUE(hmc.sample_with_rng(rng).has_value());
  EXPECT_TRUE(std::ranges::equal(hmc.state(), state));
}

// grad_eps = 0 gives 0/0 gradients, NaN momenta and positions: every
// transition is rejected and the state stays finite.
TEST(Hmc, ZeroGradEpsRejectsEverything) {
  HmcParams params;
  params.grad_eps = 0.0;
  Hmc hmc = initialized(standard_normal_2d(), params);
  const std::vector<double> state(hmc.state().begin(), hmc.state().end());
  Rng rng = seed_from_u64(5);
  const Rng start = rng;
  ASSERT_TRUE(hmc.sample_n_with_rng(10, rng).has_value());
  EXPECT_TRUE(std::ranges::equal(hmc.state(), state));
  EXPECT_EQ(draws_between(start, rng), 10u * 2 * 2);
}

// f(x) = x on [0, 1]: close to 0 the lower difference point has a negative
// density, so the gradient is +inf and a trajectory position +inf. Such a
// position cannot be mirrored; the end point is rejected and the chain goes on.
TEST(Hmc, InfiniteGradientAtTheSupportEdgeDoesNotHang) {
  const TestDensity pdf{make_box({0.0}, {1.0}), [](std::span<const double> x) { return x[0]; }};
  HmcParams params;
  params.step_size = 0.1;
  params.leapfrog_steps = 5;
  params.grad_eps = 0.3;
  Hmc hmc = initialized(pdf, params);
  Rng rng = seed_from_u64(6);
  for (int k = 0; k < 200; ++k) {
    const auto x = hmc.sample_with_rng(rng);
    ASSERT_TRUE(x.has_value());
    EXPECT_TRUE(0.0 <= (*x)[0] && (*x)[0] <= 1.0);
  }
  EXPECT_EQ(*hmc.pdf().calls, 1u + 200u * (2 * 6 + 1));
}

// On a flat density the gradient is 0: each leapfrog position is the last
// one moved by eps * p and mirrored, the momentum keeping its sign at the
// walls, and the energy is unchanged so the end point is always accepted.
TEST(Hmc, MomentumKeepsItsSignWhenThePositionIsMirrored) {
  HmcParams params;
  params.step_size = 0.3;
  params.leapfrog_steps = 7;
  Hmc hmc = initialized(constant_density(make_box({0.0}, {1.0}), 2.0), params);
  Rng rng = seed_from_u64(12);
  for (int k = 0; k < 20; ++k) {
    Rng copy = rng;
    const double p = standard_normal(copy);
    double q = hmc.state()[0];
    for (int s = 0; s < 7; ++s) q = reflect(q + 0.3 * p, 0.0, 1.0);
    ASSERT_TRUE(hmc.sample_with_rng(rng).has_value());
    EXPECT_EQ(hmc.state()[0], q) << k;
  }
}

TEST(Hmc, GradientOfAStandardNormal) {
  const TestDensity pdf = standard_normal_2d();
  const std::vector<double> x = {1.0, 2.0};
  const auto g = grad_log_pdf_numeric(pdf, x, 1e-6);
  ASSERT_TRUE(g.has_value());
  ASSERT_EQ(g->size(), 2u);
  EXPECT_NEAR((*g)[0], -1.0, 1e-6);
  EXPECT_NEAR((*g)[1], -2.0, 1e-6);
  EXPECT_EQ(*pdf.calls, 4u);
  EXPECT_TRUE(grad_log_pdf_numeric(pdf, std::vector<double>{}, 1e-6)->empty());
}

// x + h e_i before x - h e_i, coordinate 0 first, unmirrored, the other
// coordinates as in x.
TEST(Hmc, GradientEvaluationOrder) {
  auto points = std::make_shared<std::vector<std::vector<double>>>();
  const TestDensity pdf{make_box({0.0, 0.0}, {1.0, 1.0}), [points](std::span<const double> x) {
                          points->emplace_back(x.begin(), x.end());
                          return 1.0;
                        }};
  ASSERT_TRUE(grad_log_pdf_numeric(pdf, std::vector<double>{0.0, 1.0}, 0.5).has_value());
  const std::vector<std::vector<double>> expected = {{0.5, 1.0}, {-0.5, 1.0}, {0.0, 1.5}, {0.0, 0.5}};
  EXPECT_EQ(*points, expected);
}

// The trajectory length eps * L = 2 keeps omega * T (0.95 and 2.63 for the
// target's two principal axes) away from pi, where a fixed-length trajectory
// maps a mode onto its mirror image and never mixes it. 6000 transitions:
// standard errors near 0.02 sd for the means and 0.04 for the covariances.
TEST(Hmc, ReproducesACorrelatedGaussian) {
  HmcParams params;
  params.step_size = 0.2;
  params.leapfrog_steps = 10;
  Hmc hmc = initialized(CorrelatedGaussian::density(), params, 10);
  Rng rng = seed_from_u64(11);
  const auto batch = hmc.sample_n_with_rng(6000, rng);
  ASSERT_TRUE(batch.has_value());
  CorrelatedGaussian::expect_moments(*batch, 0.08, 0.15);
}

}  // namespace
}  // namespace varlix
