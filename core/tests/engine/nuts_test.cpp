#include "multivar/nuts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "nuts_targets.hpp"
#include "sample_checks.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using sample_checks::ListSource;
using special_values::kInf;
using special_values::kNaN;
using testing::ScaledGaussian;

// A chain of NUTS transitions and what they reported.
template <class L, class M>
struct NutsChain {
  const L& f;
  M metric;
  double step;
  std::uint32_t max_depth = 10;
  std::vector<double> x;
  std::vector<double> grad = std::vector<double>(x.size());
  double lp = 0.0;
  std::vector<double> draws = {};
  std::vector<NutsStats> stats = {};

  void start() { ASSERT_TRUE(evaluate_with_gradient(f, x, grad, lp)); }

  template <class S>
  void run(S& source, std::size_t n) {
    auto ws = NutsWorkspace::make(x.size(), max_depth);
    ASSERT_TRUE(ws);
    for (std::size_t k = 0; k < n; ++k) {
      auto s = nuts_transition(f, metric, step, source, *ws, x, grad, lp);
      ASSERT_TRUE(s) << "transition " << k;
      stats.push_back(*s);
      draws.insert(draws.end(), x.begin(), x.end());
    }
  }
};

struct InvarianceCase {
  std::string name;
  std::vector<double> sd;
  bool metric_from_target;  // else the identity
  double step;
};

class NutsInvariance : public ::testing::TestWithParam<InvarianceCase> {};

std::string case_name(const ::testing::TestParamInfo<InvarianceCase>& info) { return info.param.name; }

TEST_P(NutsInvariance, DiagonalMetricKeepsTheGaussianMoments) {
  const InvarianceCase& c = GetParam();
  const std::size_t d = c.sd.size();
  const ScaledGaussian target{c.sd};
  const std::vector<double> scale = c.metric_from_target ? c.sd : std::vector<double>(d, 1.0);
  std::vector<double> x0(d);
  for (std::size_t i = 0; i < d; ++i) x0[i] = 0.5 * c.sd[i];
  NutsChain<ScaledGaussian, DiagonalMetric> chain{target, DiagonalMetric{scale}, c.step, 10, x0};
  chain.start();
  Rng rng = seed_from_u64(20);
  RngSource source(rng);
  chain.run(source, 20000);
  std::vector<double> var(d);
  for (std::size_t i = 0; i < d; ++i) var[i] = c.sd[i] * c.sd[i];
  testing::expect_centred_moments(chain.draws, d, var, 4.0);
  for (const NutsStats& s : chain.stats) {
    ASSERT_FALSE(s.divergent);
    ASSERT_GE(s.accept_stat, 0.0);
    ASSERT_LE(s.accept_stat, 1.0);
    ASSERT_EQ(s.leapfrog_steps + 1 <= (std::uint64_t{1} << s.tree_depth), true);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, NutsInvariance,
    ::testing::Values(InvarianceCase{"StandardNormal", {1.0, 1.0, 1.0, 1.0}, false, 0.7},
                      // Scales 0.01 .. 100 under a metric that matches them.
                      InvarianceCase{"BadlyScaled", {0.01, 0.1, 1.0, 10.0, 100.0}, true, 0.7},
                      // A small mismatch left to the trajectory length.
                      InvarianceCase{"MildlyScaledIdentityMetric", {0.5, 1.0, 2.0}, false, 0.3}),
    case_name);

// ln of a centred Gaussian with unit variances and correlation 0.95, its
// gradient computed separately from its value.
struct CorrelatedPair {
  static constexpr double kRho = 0.95;
  double operator()(std::span<const double> x) const {
    return -0.5 * (x[0] * x[0] - 2.0 * kRho * x[0] * x[1] + x[1] * x[1]) / (1.0 - kRho * kRho);
  }
  bool gradient(std::span<const double> x, std::span<double> g) const {
    g[0] = -(x[0] - kRho * x[1]) / (1.0 - kRho * kRho);
    g[1] = -(x[1] - kRho * x[0]) / (1.0 - kRho * kRho);
    return true;
  }
};

TEST(Nuts, DenseMetricKeepsACorrelatedGaussian) {
  const double r = CorrelatedPair::kRho;
  const std::vector<double> factor = {1.0, 0.0, r, std::sqrt(1.0 - r * r)};  // Cholesky of the covariance
  const CorrelatedPair target;
  NutsChain<CorrelatedPair, DenseMetric> chain{target, DenseMetric{factor}, 0.8, 10, {1.0, -1.0}};
  chain.start();
  Rng rng = seed_from_u64(21);
  RngSource source(rng);
  chain.run(source, 20000);
  testing::expect_centred_moments(chain.draws, 2, {1.0, 1.0}, 4.0);
  double cross = 0.0;
  for (std::size_t k = 0; k < chain.draws.size(); k += 2) cross += chain.draws[k] * chain.draws[k + 1];
  EXPECT_NEAR(cross / 20000.0, r, 0.03);
}

// On a 1-D standard Gaussian from q = 0 with momentum p > 0, the exact path
// is p sin t: the momentum changes sign at t = pi / 2, after floor(pi / (2
// eps)) steps. The trajectory must stop in the doubling that crosses that
// turn, at the first subtree (or seam) that contains it.
struct TurnCase {
  double step;
  bool forward;
  std::uint64_t steps;
  std::uint32_t depth;
  std::uint32_t max_depth = 10;
};

class NutsTurn : public ::testing::TestWithParam<TurnCase> {};

TEST_P(NutsTurn, StopsAtTheFirstSubtreeThatContainsTheTurn) {
  const TurnCase c = GetParam();
  const ScaledGaussian target{{1.0}};
  const std::vector<double> one = {1.0};
  std::vector<double> x = {0.0};
  std::vector<double> g = {0.0};
  double lp = 0.0;
  // The polar method turns (0.9, 0.5) into a momentum of 0.944; every later
  // uniform picks the direction.
  ListSource source({0.9, 0.5, c.forward ? 0.9 : 0.1});
  auto ws = NutsWorkspace::make(1, c.max_depth);
  ASSERT_TRUE(ws);
  auto s = nuts_transition(target, DiagonalMetric{one}, c.step, source, *ws, x, g, lp);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->leapfrog_steps, c.steps);
  EXPECT_EQ(s->tree_depth, c.depth);
  EXPECT_FALSE(s->divergent);
  // Every state but the start lies on the side the trajectory went.
  EXPECT_GT(c.forward ? x[0] : -x[0], 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NutsTurn,
    ::testing::Values(
        // 157 steps before the turn: the pair 156..157 | 158..159 turns inside the 8th doubling.
        TurnCase{0.01, true, 159, 8}, TurnCase{0.01, false, 159, 8},
        // 15 steps before the turn: the 5th doubling (states 16..31) is straight itself, and only the
        // joined trajectory turns.
        TurnCase{0.1, true, 31, 5},
        // Capped before the turn.
        TurnCase{0.001, true, 63, 6, 6}));

// The leapfrog momenta of a forward trajectory on a target, computed apart
// from the sampler, and where the trajectory must stop: checked leaf by
// leaf, a subtree of 2^k states as its last state arrives (smaller ones
// first), and the joined trajectory when a doubling is complete; a segment
// turns when its summed momenta do not point along the momentum at both of
// its ends. `seams` adds the segments straddling each join.
struct ForwardTrajectory {
  std::vector<std::vector<double>> p;

  [[nodiscard]] bool turned(std::size_t a, std::size_t b) const {
    std::vector<double> rho(p[0].size(), 0.0);
    for (std::size_t t = a; t <= b; ++t) {
      for (std::size_t i = 0; i < rho.size(); ++i) rho[i] += p[t][i];
    }
    double at_a = 0.0;
    double at_b = 0.0;
    for (std::size_t i = 0; i < rho.size(); ++i) {
      at_a += rho[i] * p[a][i];
      at_b += rho[i] * p[b][i];
    }
    return !(at_a > 0.0 && at_b > 0.0);
  }
  // The join of [a, a + half) and [a + half, a + 2 half).
  [[nodiscard]] bool join_turned(std::size_t a, std::size_t half, bool seams) const {
    const std::size_t last = a + 2 * half - 1;
    return turned(a, last) || (seams && (turned(a, a + half) || turned(a + half - 1, last)));
  }
  [[nodiscard]] std::uint64_t steps_until_stop(std::uint32_t max_depth, bool seams) const {
    for (std::size_t size = 1; size < (std::size_t{1} << max_depth); size *= 2) {
      for (std::size_t n = size; n < 2 * size; ++n) {
        for (std::size_t sub = 2; sub <= size && (n - size + 1) % sub == 0; sub *= 2) {
          if (join_turned(n + 1 - sub, sub / 2, seams)) return n;
        }
      }
      if (join_turned(0, size, seams)) return 2 * size - 1;
    }
    return (std::uint64_t{1} << max_depth) - 1;
  }
};

TEST(Nuts, TrajectoriesStopWhereAnIndependentCheckOfEverySubtreeAndSeamSays) {
  // Scales 1 and 7 with steps up to 1.9: coarse enough that a turn can hide
  // between two subtrees that are straight on their own.
  const ScaledGaussian target{{1.0, 7.0}};
  const std::vector<double> one = {1.0, 1.0};
  constexpr std::uint32_t kDepth = 8;
  auto ws = NutsWorkspace::make(2, kDepth);
  ASSERT_TRUE(ws);
  int cases = 0;
  int seams_decided = 0;
  for (const double eps : {0.3, 0.5, 0.7, 0.9, 1.1, 1.3, 1.5, 1.7, 1.9}) {
    for (double u1 = 0.05; u1 < 1.0; u1 += 0.1) {
      for (double u2 = 0.05; u2 < 1.0; u2 += 0.1) {
        const double v1 = 2.0 * u1 - 1.0;
        const double v2 = 2.0 * u2 - 1.0;
        const double s = v1 * v1 + v2 * v2;
        if (s >= 1.0) continue;
        // The momentum the polar method makes of (u1, u2), and its path.
        const double f = std::sqrt(-2.0 * std::log(s) / s);
        ForwardTrajectory path{{{v1 * f, v2 * f}}};
        std::vector<double> q = {0.7, -2.0};
        std::vector<double> r = path.p[0];
        for (std::size_t t = 1; t < (std::size_t{1} << kDepth); ++t) {
          for (std::size_t i = 0; i < 2; ++i) r[i] += 0.5 * eps * (-q[i] / (target.sd[i] * target.sd[i]));
          for (std::size_t i = 0; i < 2; ++i) q[i] += eps * r[i];
          for (std::size_t i = 0; i < 2; ++i) r[i] += 0.5 * eps * (-q[i] / (target.sd[i] * target.sd[i]));
          path.p.push_back(r);
        }
        const std::uint64_t expected = path.steps_until_stop(kDepth, true);
        seams_decided += expected != path.steps_until_stop(kDepth, false) ? 1 : 0;

        std::vector<double> x = {0.7, -2.0};
        std::vector<double> g(2);
        double lp = 0.0;
        ASSERT_TRUE(evaluate_with_gradient(target, x, g, lp));
        ListSource source({u1, u2, 0.9});
        auto stats = nuts_transition(target, DiagonalMetric{one}, eps, source, *ws, x, g, lp);
        ASSERT_TRUE(stats);
        EXPECT_EQ(stats->leapfrog_steps, expected) << eps << " " << u1 << " " << u2;
        ++cases;
      }
    }
  }
  EXPECT_GT(cases, 200);
  EXPECT_GT(seams_decided, 0);  // else the seam checks went untested
}

// Neal's funnel: v ~ N(0, 3^2), x_i | v ~ N(0, e^v).
struct Funnel {
  double operator()(std::span<const double> z) const {
    double s = 0.0;
    for (std::size_t i = 1; i < z.size(); ++i) s += z[i] * z[i];
    return -z[0] * z[0] / 18.0 - 0.5 * std::exp(-z[0]) * s - 0.5 * static_cast<double>(z.size() - 1) * z[0];
  }
  bool gradient(std::span<const double> z, std::span<double> g) const {
    double s = 0.0;
    for (std::size_t i = 1; i < z.size(); ++i) s += z[i] * z[i];
    g[0] = -z[0] / 9.0 + 0.5 * std::exp(-z[0]) * s - 0.5 * static_cast<double>(z.size() - 1);
    for (std::size_t i = 1; i < z.size(); ++i) g[i] = -std::exp(-z[0]) * z[i];
    return true;
  }
};

TEST(Nuts, DivergencesOnAFunnelAreFlaggedAndTheRunGoesOn) {
  const Funnel target;
  const std::vector<double> one(10, 1.0);
  std::vector<double> x0(10, 0.1);
  x0[0] = -2.0;
  NutsChain<Funnel, DiagonalMetric> chain{target, DiagonalMetric{one}, 0.5, 10, x0};
  chain.start();
  Rng rng = seed_from_u64(22);
  RngSource source(rng);
  chain.run(source, 2000);
  std::size_t divergent = 0;
  for (const NutsStats& s : chain.stats) divergent += s.divergent ? 1 : 0;
  EXPECT_GT(divergent, 20u) << divergent;
  EXPECT_LT(divergent, 2000u) << divergent;
  for (const double v : chain.draws) ASSERT_TRUE(std::isfinite(v));
  EXPECT_TRUE(std::isfinite(chain.lp));
}

// Values that end a trajectory at its first step: the chain stays exactly
// where it was and the transition is flagged.
struct Blowup {
  double value;       // the log-density away from the start
  double grad_value;  // the gradient there
  double operator()(std::span<const double> x) const { return x[0] == 0.25 ? -0.5 : value; }
  bool gradient(std::span<const double> x, std::span<double> g) const {
    g[0] = x[0] == 0.25 ? -1.0 : grad_value;
    return true;
  }
};

class NutsDivergence : public ::testing::TestWithParam<Blowup> {};

TEST_P(NutsDivergence, EndsTheTrajectoryAndKeepsTheState) {
  const Blowup target = GetParam();
  const std::vector<double> one = {1.0};
  std::vector<double> x = {0.25};
  std::vector<double> g = {-1.0};
  double lp = -0.5;
  Rng rng = seed_from_u64(23);
  RngSource source(rng);
  auto ws = NutsWorkspace::make(1, 10);
  ASSERT_TRUE(ws);
  auto s = nuts_transition(target, DiagonalMetric{one}, 0.1, source, *ws, x, g, lp);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->divergent);
  EXPECT_EQ(s->leapfrog_steps, 1u);
  EXPECT_EQ(s->accept_stat, 0.0);
  EXPECT_EQ(x[0], 0.25);
  EXPECT_EQ(g[0], -1.0);
  EXPECT_EQ(lp, -0.5);
  EXPECT_EQ(s->log_density, -0.5);
}

INSTANTIATE_TEST_SUITE_P(Values, NutsDivergence,
                         ::testing::Values(Blowup{kNaN, 0.0}, Blowup{kInf, 0.0}, Blowup{-kInf, 0.0},
                                           Blowup{-2000.0, 0.0}, Blowup{-0.5, kNaN}, Blowup{-0.5, kInf}));

// A function that reports failure once away from the start.
struct FailsAway {
  double operator()(std::span<const double> x) const { return -0.5 * x[0] * x[0]; }
  bool gradient(std::span<const double> x, std::span<double> g) const {
    g[0] = -x[0];
    return x[0] == 0.25;
  }
};

TEST(Nuts, AFailedFunctionEndsTheTransitionWithThePointAndKeepsTheState) {
  const std::vector<double> one = {1.0};
  std::vector<double> x = {0.25};
  std::vector<double> g = {-0.25};
  double lp = -0.03125;
  Rng rng = seed_from_u64(24);
  RngSource source(rng);
  auto ws = NutsWorkspace::make(1, 10);
  ASSERT_TRUE(ws);
  auto s = nuts_transition(FailsAway{}, DiagonalMetric{one}, 0.1, source, *ws, x, g, lp);
  ASSERT_FALSE(s);
  ASSERT_EQ(s.error().point.size(), 1u);
  EXPECT_NE(s.error().point[0], 0.25);
  EXPECT_EQ(x[0], 0.25);
  EXPECT_EQ(g[0], -0.25);
  EXPECT_EQ(lp, -0.03125);
}

}  // namespace
}  // namespace varlix
