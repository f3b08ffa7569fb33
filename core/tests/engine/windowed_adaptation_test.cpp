#include "multivar/windowed_adaptation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "multivar/nuts.hpp"
#include "nuts_targets.hpp"
#include "random.hpp"

namespace varlix {
namespace {

using testing::ScaledGaussian;

struct ScheduleCase {
  std::uint64_t warmup;
  std::uint64_t init_buffer;
  std::uint64_t term_buffer;
  std::vector<std::uint64_t> window_ends;  // empty: the metric does not adapt
};

class Schedule : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(Schedule, WindowsDoubleAndTheLastFillsTheSlowPhase) {
  const ScheduleCase& c = GetParam();
  const WarmupSchedule s = WarmupSchedule::for_warmup(c.warmup);
  EXPECT_EQ(s.init_buffer, c.init_buffer);
  EXPECT_EQ(s.term_buffer, c.term_buffer);
  ASSERT_EQ(s.adapts_metric(), !c.window_ends.empty());
  if (!s.adapts_metric()) return;
  std::vector<std::uint64_t> ends;
  WarmupWindow w = s.first_window();
  EXPECT_EQ(w.begin, c.init_buffer);
  for (;;) {
    ends.push_back(w.end);
    if (s.is_last(w)) break;
    const WarmupWindow next = s.next_window(w);
    EXPECT_EQ(next.begin, w.end);
    w = next;
  }
  EXPECT_EQ(ends, c.window_ends);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, Schedule,
    ::testing::Values(ScheduleCase{1000, 75, 50, {100, 150, 250, 450, 950}},
                      ScheduleCase{2000, 75, 50, {100, 150, 250, 450, 850, 1950}},
                      ScheduleCase{500, 75, 50, {100, 150, 250, 450}},
                      ScheduleCase{150, 75, 50, {100}},
                      // Too short for the defaults: 15% / 75% / 10%.
                      ScheduleCase{149, 22, 14, {135}}, ScheduleCase{100, 15, 10, {90}},
                      ScheduleCase{20, 3, 2, {18}},
                      // Too short for a metric: the step alone.
                      ScheduleCase{19, 19, 0, {}}, ScheduleCase{0, 0, 0, {}}));

// Exact draws of a Gaussian with the given scales, and their gradients.
template <class E>
void feed_gaussian(E& estimator, const std::vector<double>& sd, std::size_t n, std::uint64_t seed) {
  Rng rng = seed_from_u64(seed);
  RngSource source(rng);
  const std::size_t d = sd.size();
  std::vector<double> x(d);
  std::vector<double> g(d);
  for (std::size_t k = 0; k < n; ++k) {
    fill_standard_normal(source, x);
    for (std::size_t i = 0; i < d; ++i) {
      x[i] *= sd[i];
      g[i] = -x[i] / (sd[i] * sd[i]);
    }
    estimator.add(x, g);
  }
}

TEST(DiagonalEstimator, RecoversEachScaleWithoutACommonFloor) {
  const std::vector<double> sd = testing::log_uniform_scales(8, 1e-3, 1e3);
  auto e = DiagonalEstimator::make(sd.size());
  ASSERT_TRUE(e);
  feed_gaussian(*e, sd, 200, 30);
  std::vector<double> scale(sd.size(), 1.0);
  e->update(scale);
  for (std::size_t i = 0; i < sd.size(); ++i) {
    // The pull toward the previous scale (1) weighs 5 / 205 in log scale.
    const double pulled = std::pow(sd[i], 200.0 / 205.0);
    EXPECT_NEAR(std::log(scale[i] / pulled), 0.0, 0.05) << i;
  }
  EXPECT_EQ(e->count(), 0.0);
}

TEST(DiagonalEstimator, KeepsTheScaleOfAStuckCoordinateAndUsesDrawsWhereTheGradientIsFlat) {
  auto e = DiagonalEstimator::make(3);
  ASSERT_TRUE(e);
  for (int k = 0; k < 50; ++k) {
    const double u = k % 2 == 0 ? 1.0 : -1.0;
    const std::vector<double> x = {2.0, 3.0 * u, 3.0 * u};
    const std::vector<double> g = {0.0, -0.5, -3.0 * u};  // coordinate 1: an exponential tail
    e->add(x, g);
  }
  std::vector<double> scale = {7.0, 1.0, 1.0};
  e->update(scale);
  EXPECT_DOUBLE_EQ(scale[0], 7.0);
  const double w = 50.0 / 55.0;
  EXPECT_NEAR(scale[1], std::pow(3.0 * std::sqrt(50.0 / 49.0), w), 1e-12);
  EXPECT_NEAR(scale[2], 1.0, 1e-12);  // var(x) = 9 and var(g) = 9: a unit scale
}

TEST(DenseEstimator, KeepsTheScalesAndShrinksOnlyTheCorrelation) {
  // x = (a, 10 (0.8 a + 0.6 b)): sds 1 and 10, correlation 0.8.
  auto e = DenseEstimator::make(2);
  ASSERT_TRUE(e);
  Rng rng = seed_from_u64(31);
  RngSource source(rng);
  std::vector<double> z(2);
  const double n = 4000.0;
  for (int k = 0; k < 4000; ++k) {
    fill_standard_normal(source, z);
    const std::vector<double> x = {z[0], 10.0 * (0.8 * z[0] + 0.6 * z[1])};
    e->add(x, z);  // the gradients play no part
  }
  std::vector<double> factor = {1.0, 0.0, 0.0, 1.0};
  e->update(factor);
  const double s00 = factor[0] * factor[0];
  const double s11 = factor[2] * factor[2] + factor[3] * factor[3];
  const double s10 = factor[2] * factor[0];
  // Each variance is pulled (in log scale, weight 5 / 4005) toward its
  // previous value 1 alone, the correlation toward 0 with the same weight.
  const double w = n / (n + 5.0);
  EXPECT_NEAR(std::sqrt(s00), 1.0, 0.03);
  EXPECT_NEAR(std::sqrt(s11), std::pow(10.0, w), 0.3);
  EXPECT_NEAR(s10 / std::sqrt(s00 * s11), 0.8 * w, 0.02);
}

// The whole warm-up on a diagonal Gaussian whose scales span 10^4: NUTS from
// the identity metric, 1000 warm-up iterations.
TEST(WindowedAdaptation, LearnsScalesSpanningFourDecades) {
  const std::size_t d = 20;
  const std::vector<double> sd = testing::log_uniform_scales(d, 0.01, 100.0);
  const ScaledGaussian target{sd};
  std::vector<double> scale(d, 1.0);
  std::vector<double> x(d);
  for (std::size_t i = 0; i < d; ++i) x[i] = 0.3 * sd[i];
  std::vector<double> g(d);
  double lp = 0.0;
  ASSERT_TRUE(evaluate_with_gradient(target, x, g, lp));
  auto ws = NutsWorkspace::make(d, 10);
  auto adaptation = WindowedAdaptation<DiagonalEstimator>::make(d, 1000, 0.01, 0.8);
  ASSERT_TRUE(ws && adaptation);
  Rng rng = seed_from_u64(32);
  RngSource source(rng);
  double step = 0.01;
  int metric_updates = 0;
  while (!adaptation->finished()) {
    auto s = nuts_transition(target, DiagonalMetric{scale}, step, source, *ws, x, g, lp);
    ASSERT_TRUE(s);
    const auto next = adaptation->update(x, g, s->accept_stat, scale);
    step = next.step;
    metric_updates += next.metric_changed ? 1 : 0;
  }
  EXPECT_EQ(metric_updates, 5);
  for (std::size_t i = 0; i < d; ++i) EXPECT_NEAR(scale[i] / sd[i], 1.0, 0.2) << i;
  // The step kept meets the target acceptance on the adapted metric.
  double accept = 0.0;
  for (int k = 0; k < 500; ++k) {
    auto s = nuts_transition(target, DiagonalMetric{scale}, step, source, *ws, x, g, lp);
    ASSERT_TRUE(s);
    accept += s->accept_stat / 500.0;
  }
  EXPECT_NEAR(accept, 0.8, 0.1);
}

// The step each rule keeps for a chain whose acceptance follows the step
// deterministically: exp(-eps) in nine transitions of ten, exp(-hard * eps)
// in the tenth (a region of high curvature when hard > 1), which is marked
// divergent when `diverges`.
double kept_step(WindowedAdaptation<DiagonalEstimator>::StepRule rule, double hard, bool diverges = false) {
  auto adaptation = WindowedAdaptation<DiagonalEstimator>::make(1, 1000, 1.0, 0.8, rule);
  EXPECT_TRUE(adaptation);
  std::vector<double> x = {0.0}, g = {0.0}, scale = {1.0};
  double step = 1.0;
  for (int k = 0; !adaptation->finished(); ++k) {
    const double alpha = std::exp(-(k % 10 == 9 ? hard : 1.0) * step);
    x[0] = 0.1 * (k % 7);
    g[0] = -x[0];
    step = adaptation->update(x, g, alpha, scale, step, diverges && k % 10 == 9).step;
  }
  return step;
}

// Roots of the arithmetic and the geometric mean of the acceptance above
// at 0.8: 0.9 exp(-eps) + 0.1 exp(-30 eps) = 0.8 near eps = 0.121, and
// eps (0.9 + 0.1 hard) = ln 1.25.
TEST(WindowedAdaptation, GeometricRuleSettlesBelowTheArithmeticOneOnlyWhereAcceptanceVaries) {
  using Rule = WindowedAdaptation<DiagonalEstimator>::StepRule;
  const double uniform = std::log(1.25);
  EXPECT_NEAR(kept_step(Rule::Settle, 1.0), uniform, 0.02 * uniform);
  EXPECT_NEAR(kept_step(Rule::SettleGeometric, 1.0), uniform, 0.02 * uniform);

  const double arithmetic = 0.121;
  const double geometric = std::log(1.25) / 3.9;
  // The slow phase leaves the step between the two roots (about 0.08); in
  // the 50 iterations of the last buffer each rule moves it most of the way
  // to its own root.
  EXPECT_NEAR(kept_step(Rule::Settle, 30.0), arithmetic, 0.2 * arithmetic);
  EXPECT_NEAR(kept_step(Rule::SettleGeometric, 30.0), geometric, 0.2 * geometric);
}

// A divergent transition counts as accepting nothing in the geometric
// rule's last buffer, whatever its statistic; the arithmetic rule reads
// the statistic only.
TEST(WindowedAdaptation, GeometricRuleCountsADivergentTransitionAsAcceptingNothing) {
  using Rule = WindowedAdaptation<DiagonalEstimator>::StepRule;
  EXPECT_EQ(kept_step(Rule::Settle, 1.0, true), kept_step(Rule::Settle, 1.0, false));
  // exp(-eps) in nine of ten and the floor 0.01 in the tenth have a
  // geometric mean below 0.8 at every eps > 0: the step shrinks all through
  // the last buffer.
  const double free = kept_step(Rule::SettleGeometric, 1.0, false);
  const double diverging = kept_step(Rule::SettleGeometric, 1.0, true);
  EXPECT_LT(diverging, 0.5 * free);
}

// A last buffer of transitions that accepted nothing (every trajectory
// diverged at once) shrinks the step, which stays a usable number.
TEST(WindowedAdaptation, GeometricRuleStaysFiniteWhenNothingIsAccepted) {
  using Rule = WindowedAdaptation<DiagonalEstimator>::StepRule;
  auto adaptation = WindowedAdaptation<DiagonalEstimator>::make(1, 200, 1.0, 0.8, Rule::SettleGeometric);
  ASSERT_TRUE(adaptation);
  std::vector<double> x = {0.0}, g = {0.0}, scale = {1.0};
  double step = 1.0;
  for (int k = 0; !adaptation->finished(); ++k) {
    const bool last_buffer = adaptation->done() >= adaptation->schedule().slow_end();
    x[0] = 0.1 * (k % 7);
    g[0] = -x[0];
    step = adaptation->update(x, g, last_buffer ? 0.0 : 0.8, scale, step).step;
  }
  EXPECT_GT(step, 0.0);
  EXPECT_LT(step, 1.0);
  EXPECT_GE(std::log(step), -DualAveraging::kMaxLogStep);
}

}  // namespace
}  // namespace varlix
