#include "multivar/chain_runner.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

// ln of a centred Gaussian with unit variances and correlation rho between
// every pair of the first two coordinates (the others independent).
struct Gaussian2 {
  double rho = 0.0;
  double operator()(std::span<const double> x) const {
    const double q = (x[0] * x[0] - 2.0 * rho * x[0] * x[1] + x[1] * x[1]) / (1.0 - rho * rho);
    double rest = 0.0;
    for (std::size_t i = 2; i < x.size(); ++i) rest += x[i] * x[i];
    return -0.5 * (q + rest);
  }
};

// The same standard Gaussian, with its gradient and a batch form; counts
// the batches it was given.
struct StandardGaussian {
  std::size_t dim;
  mutable std::size_t batches = 0;
  double operator()(std::span<const double> x) const { return -0.5 * detail::squared_norm(x); }
  void eval_batch(std::span<const double> xs, std::span<double> ys) const {
    ++batches;
    for (std::size_t k = 0; k < ys.size(); ++k) ys[k] = (*this)(xs.subspan(k * dim, dim));
  }
};

struct GaussianWithGradient {
  double operator()(std::span<const double> x) const { return -0.5 * detail::squared_norm(x); }
  bool gradient(std::span<const double> x, std::span<double> g) const {
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = -x[i];
    return true;
  }
};

// Independent Gaussian coordinates of the given standard deviations.
struct ScaledGaussian {
  std::vector<double> sd;
  double operator()(std::span<const double> x) const {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += (x[i] / sd[i]) * (x[i] / sd[i]);
    return -0.5 * s;
  }
  bool gradient(std::span<const double> x, std::span<double> g) const {
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = -x[i] / (sd[i] * sd[i]);
    return true;
  }
};

// Uniform on the unit box when run with bounds [0, 1]^d.
struct Flat {
  double operator()(std::span<const double>) const { return 0.0; }
};

// Uniform on the unit box and -inf outside it.
struct FlatOnUnitBox {
  double operator()(std::span<const double> x) const {
    for (const double v : x) {
      if (v < 0.0 || v > 1.0) return -kInf;
    }
    return 0.0;
  }
};

// Fails (NaN, or +inf) once the first coordinate exceeds a threshold.
struct FailsBeyond {
  double threshold;
  double value;
  double operator()(std::span<const double> x) const { return x[0] > threshold ? value : -0.5 * x[0] * x[0]; }
};

template <class L>
struct ChainRun {
  std::size_t chains;
  std::size_t dim;
  ChainSettings settings;
  std::vector<Rng> rngs;
  std::vector<RngSource> sources;
  std::vector<double> states;
  ChainScratch scratch;
  std::vector<double> samples;
  std::vector<double> log_densities;

  ChainRun(std::size_t c, std::size_t d, ChainSettings s, std::uint64_t seed) : chains(c), dim(d), settings(s) {
    settings.dim = d;
    rngs.reserve(c);
    for (std::size_t k = 0; k < c; ++k) rngs.push_back(seed_from_u64(seed + k));
    for (auto& rng : rngs) sources.emplace_back(rng);
    states.assign(c * chain_words(d, settings.dense), 0.0);
  }

  std::expected<void, ChainFault> go(const L& f, const std::vector<double>& x0, double step, std::uint64_t draws,
                                     std::uint64_t thin = 1) {
    auto group = ChainGroup<L, RngSource>::make(f, sources, states, settings, scratch);
    if (!group) return std::unexpected(group.error());
    std::vector<double> steps(chains, step);
    if (auto ok = group->init(x0, steps); !ok) return ok;
    std::vector<double> tune_samples(chains * settings.tune * dim);
    if (auto ok = group->tune(settings.tune, {tune_samples.data(), settings.tune * dim, nullptr, 0}); !ok) return ok;
    samples.assign(chains * draws * dim, 0.0);
    log_densities.assign(chains * draws, 0.0);
    return group->draw(draws, thin, {samples.data(), draws * dim, log_densities.data(), draws});
  }

  ChainView view(std::size_t c) {
    const std::size_t w = chain_words(dim, settings.dense);
    return ChainView(std::span<double>(states).subspan(c * w, w), dim, settings.dense);
  }
  double mean(std::size_t i) const {
    double s = 0.0;
    for (std::size_t k = 0; k < samples.size() / dim; ++k) s += samples[k * dim + i];
    return s / static_cast<double>(samples.size() / dim);
  }
  double moment(std::size_t i, std::size_t j) const {
    double s = 0.0;
    for (std::size_t k = 0; k < samples.size() / dim; ++k) s += samples[k * dim + i] * samples[k * dim + j];
    return s / static_cast<double>(samples.size() / dim);
  }
};

ChainSettings settings_for(ChainKind kind, double target, std::uint64_t tune) {
  ChainSettings s;
  s.kind = kind;
  s.target_accept = target;
  s.tune = tune;
  return s;
}

TEST(DualAveraging, SettlesWhereTheAcceptanceMeetsTheTarget) {
  // alpha(eps) = exp(-eps) meets 0.5 at eps = ln 2.
  DualAveraging da = DualAveraging::start(1.0);
  double eps = 1.0;
  for (int m = 0; m < 5000; ++m) eps = da.update(std::exp(-eps), 0.5);
  EXPECT_NEAR(da.averaged_step(), std::log(2.0), 0.01);
}

TEST(DualAveraging, StepStaysBoundedUnderEndlessRejection) {
  DualAveraging da = DualAveraging::start(1.0);
  double eps = 1.0;
  for (int m = 0; m < 100000; ++m) eps = da.update(0.0, 0.8);
  EXPECT_GT(eps, 0.0);
  EXPECT_GE(std::log(eps), -DualAveraging::kMaxLogStep);
}

TEST(Cholesky, FactorsAPositiveDefiniteMatrixAndRefusesASingularOne) {
  std::vector<double> a = {4, 0, 0, 2, 5, 0, -2, 1, 6};  // lower triangle of an SPD matrix
  const std::vector<double> full = a;
  ASSERT_TRUE(cholesky_in_place(a, 3));
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k <= j; ++k) s += a[i * 3 + k] * a[j * 3 + k];
      EXPECT_NEAR(s, full[i * 3 + j], 1e-12);
    }
  }
  std::vector<double> singular = {1, 0, 1, 1};
  EXPECT_FALSE(cholesky_in_place(singular, 2));
}

TEST(Reflection, MirrorsIntoTheBoxAndReportsReversal) {
  struct Case {
    double y, value;
    bool reversed;
  };
  for (const Case c : {Case{0.25, 0.25, false}, Case{1.25, 0.75, true}, Case{-0.25, 0.25, true},
                       Case{2.25, 0.25, false}, Case{-1.75, 0.25, false}, Case{3.5, 0.5, true}}) {
    const Reflected r = reflect_into(c.y, 0.0, 1.0);
    EXPECT_NEAR(r.value, c.value, 1e-15) << c.y;
    EXPECT_EQ(r.reversed, c.reversed) << c.y;
  }
  const Reflected far = reflect_into(1e300, -1.0, 2.0);
  EXPECT_GE(far.value, -1.0);
  EXPECT_LE(far.value, 2.0);
}

TEST(Normals, HaveUnitMomentsAndIndependentPairs) {
  // 10^5 pairs: the standard error of each moment is below 0.01.
  Rng rng = seed_from_u64(3);
  RngSource source(rng);
  std::vector<double> z(3);
  double m1 = 0.0, m2 = 0.0, m4 = 0.0, cross = 0.0;
  const int n = 100000;
  for (int k = 0; k < n; ++k) {
    fill_standard_normal(source, z);
    for (const double v : z) {
      m1 += v;
      m2 += v * v;
      m4 += v * v * v * v;
    }
    cross += z[0] * z[1];
  }
  EXPECT_NEAR(m1 / (3 * n), 0.0, 0.01);
  EXPECT_NEAR(m2 / (3 * n), 1.0, 0.01);
  EXPECT_NEAR(m4 / (3 * n), 3.0, 0.05);
  EXPECT_NEAR(cross / n, 0.0, 0.01);
}

// Moments of the kept draws and the acceptance rate after tuning, for both
// kinds on a correlated Gaussian (the dense metric learns the correlation)
// and an independent one with a given gradient.
TEST(Chains, ReachTheTargetMomentsAndAcceptanceRate) {
  struct Case {
    ChainKind kind;
    double target;
    double rho;
  };
  for (const Case c : {Case{ChainKind::RandomWalk, 0.234, 0.9}, Case{ChainKind::Hamiltonian, 0.8, 0.9},
                       Case{ChainKind::RandomWalk, 0.5, 0.0}}) {
    ChainRun<Gaussian2> run(4, 3, settings_for(c.kind, c.target, 1000), 11);
    const Gaussian2 f{c.rho};
    ASSERT_TRUE(run.go(f, std::vector<double>(12, 0.5), 1.0, 20000));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(run.mean(i), 0.0, 0.1) << i;
    EXPECT_NEAR(run.moment(0, 0), 1.0, 0.1);
    EXPECT_NEAR(run.moment(2, 2), 1.0, 0.1);
    EXPECT_NEAR(run.moment(0, 1), c.rho, 0.1);
    for (std::size_t k = 0; k < 4; ++k) {
      const ChainView v = run.view(k);
      // A random walk's acceptance is a coin per step: its step settles
      // within the last 50 tuning steps to about +-0.12.
      EXPECT_NEAR(v.accepted() / v.steps(), c.target, c.kind == ChainKind::RandomWalk ? 0.12 : 0.06) << k;
      EXPECT_EQ(v.steps(), 20000.0);
    }
    // The recorded log-densities are those of the recorded points.
    for (std::size_t k = 0; k < 20; ++k) {
      EXPECT_EQ(run.log_densities[k], f(std::span<const double>(run.samples).subspan(k * 3, 3)));
    }
  }
  ChainRun<GaussianWithGradient> hmc(2, 5, settings_for(ChainKind::Hamiltonian, 0.8, 500), 5);
  ASSERT_TRUE(hmc.go(GaussianWithGradient{}, std::vector<double>(10, 1.0), 1.0, 3000));
  for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(hmc.moment(i, i), 1.0, 0.1) << i;
}

// The warm-up shared with the No-U-Turn chains learns the scales with a
// diagonal metric: spanning 10^4 from draws and gradients for Hamiltonian
// chains, 10 from the draws alone for a random walk (which covers little
// ground per step).
TEST(Chains, DiagonalWarmupLearnsScalesSpanningTenThousand) {
  struct Case {
    ChainKind kind;
    double target;
    double tolerance;  // on the ratio of the learnt scale to the true one
    ScaledGaussian f;
  };
  for (const Case& c : {Case{ChainKind::Hamiltonian, 0.8, 1.3, {{0.01, 0.1, 1.0, 10.0, 100.0, 3.0}}},
                        Case{ChainKind::RandomWalk, 0.234, 1.6, {{0.3, 0.5, 1.0, 2.0, 3.0, 0.7}}}}) {
    const ScaledGaussian& f = c.f;
    const std::size_t d = f.sd.size();
    ChainSettings settings = settings_for(c.kind, c.target, 1000);
    settings.dense = false;
    ChainRun<ScaledGaussian> run(2, d, settings, 3);
    ASSERT_TRUE(run.go(f, std::vector<double>(2 * d, 0.0), 1.0, 2000));
    for (std::size_t k = 0; k < 2; ++k) {
      for (std::size_t i = 0; i < d; ++i) {
        const double ratio = run.view(k).metric()[i] / f.sd[i];
        EXPECT_GT(ratio, 1.0 / c.tolerance) << static_cast<int>(c.kind) << " chain " << k << " x" << i;
        EXPECT_LT(ratio, c.tolerance) << static_cast<int>(c.kind) << " chain " << k << " x" << i;
      }
    }
    for (std::size_t i = 0; i < d; ++i) EXPECT_NEAR(run.moment(i, i) / (f.sd[i] * f.sd[i]), 1.0, 0.3) << i;
  }
}

TEST(Chains, WithoutTuningTheStepStaysAsGiven) {
  for (const ChainKind kind : {ChainKind::RandomWalk, ChainKind::Hamiltonian}) {
    ChainRun<Gaussian2> run(2, 2, settings_for(kind, 0.5, 0), 1);
    ASSERT_TRUE(run.go(Gaussian2{}, {0, 0, 1, 1}, 0.3, 100));
    EXPECT_EQ(run.view(0).step(), 0.3);
    EXPECT_EQ(run.view(1).step(), 0.3);
  }
}

TEST(Chains, StayInsideTheBoxAndCoverIt) {
  const std::vector<double> lo = {0.0, 0.0};
  const std::vector<double> hi = {1.0, 1.0};
  for (const ChainKind kind : {ChainKind::RandomWalk, ChainKind::Hamiltonian}) {
    ChainSettings s = settings_for(kind, 0.5, 500);
    s.dense = false;
    s.lo = lo;
    s.hi = hi;
    ChainRun<Flat> run(2, 2, s, 7);
    ASSERT_TRUE(run.go(Flat{}, {0.5, 0.5, 0.1, 0.9}, 0.5, 4000));
    for (const double v : run.samples) {
      ASSERT_GE(v, 0.0);
      ASSERT_LE(v, 1.0);
    }
    EXPECT_NEAR(run.mean(0), 0.5, 0.05);
    EXPECT_NEAR(run.moment(1, 1), 1.0 / 3.0, 0.05);
  }
}

// Central differences stay inside the box: a density that is -inf beyond
// it does not stop Hamiltonian trajectories that end near a wall.
TEST(Chains, NumericGradientsNearAWallStayInsideTheBox) {
  const std::vector<double> lo = {0.0, 0.0};
  const std::vector<double> hi = {1.0, 1.0};
  ChainSettings s = settings_for(ChainKind::Hamiltonian, 0.8, 0);
  s.dense = false;
  s.lo = lo;
  s.hi = hi;
  ChainRun<FlatOnUnitBox> run(1, 2, s, 4);
  // Starting on a wall: a gradient by plain central differences is -inf.
  ASSERT_TRUE(run.go(FlatOnUnitBox{}, {0.0, 1.0}, 0.3, 2000));
  EXPECT_EQ(run.view(0).accepted(), 2000.0);
  EXPECT_EQ(run.view(0).divergent(), 0.0);
}

// A chain's path depends on its own stream only: one group of three chains,
// three groups of one, and a run split into pieces give the same bits; a
// batch function is called once per step for the whole group.
TEST(Chains, GroupingAndPiecesDoNotChangeThePaths) {
  for (const ChainKind kind : {ChainKind::RandomWalk, ChainKind::Hamiltonian}) {
    const std::size_t d = 2;
    const StandardGaussian f{d};
    ChainRun<StandardGaussian> together(3, d, settings_for(kind, 0.6, 200), 21);
    const std::vector<double> x0 = {0.1, 0.2, -0.3, 0.4, 1.0, -1.0};
    ASSERT_TRUE(together.go(f, x0, 1.0, 300));
    if (kind == ChainKind::RandomWalk) {
      EXPECT_EQ(f.batches, 1u + 200u + 300u);
    }
    for (std::size_t c = 0; c < 3; ++c) {
      ChainRun<StandardGaussian> alone(1, d, settings_for(kind, 0.6, 200), 21 + c);
      ASSERT_TRUE(alone.go(f, {x0[2 * c], x0[2 * c + 1]}, 1.0, 300));
      const auto part = std::span<const double>(together.samples).subspan(c * 300 * d, 300 * d);
      EXPECT_TRUE(std::equal(part.begin(), part.end(), alone.samples.begin())) << c;
    }
    // In pieces: 3 + 90 + 107 tuning steps (across the warm-up's windows),
    // then 100 + 200 draws, each piece a new group on the run's scratch, as
    // the binding calls them.
    ChainRun<StandardGaussian> pieces(3, d, settings_for(kind, 0.6, 200), 21);
    const auto group = [&] {
      return ChainGroup<StandardGaussian, RngSource>::make(f, pieces.sources, pieces.states, pieces.settings,
                                                           pieces.scratch);
    };
    const std::vector<double> steps(3, 1.0);
    ASSERT_TRUE(group()->init(x0, steps));
    for (const std::uint64_t n : {3u, 90u, 107u}) ASSERT_TRUE(group()->tune(n, {})) << n;
    std::vector<double> out(3 * 300 * d);
    ASSERT_TRUE(group()->draw(100, 1, {out.data(), 300 * d, nullptr, 0}));
    ASSERT_TRUE(group()->draw(200, 1, {out.data() + 100 * d, 300 * d, nullptr, 0}));
    EXPECT_EQ(out, together.samples);
  }
}

// Central differences of a function of one point (on one point moved in
// place) give the gradients, and so the paths, of the same function taken
// in batches of 2d points.
TEST(Chains, PointwiseAndBatchedDifferencesGiveTheSamePaths) {
  struct OnePointGaussian {
    double operator()(std::span<const double> x) const { return -0.5 * detail::squared_norm(x); }
  };
  const std::vector<double> x0 = {0.5, -1.0, 2.0, 0.1, 0.2, -0.3};
  ChainRun<StandardGaussian> batched(2, 3, settings_for(ChainKind::Hamiltonian, 0.8, 100), 8);
  ASSERT_TRUE(batched.go(StandardGaussian{3}, x0, 0.5, 200));
  ChainRun<OnePointGaussian> pointwise(2, 3, settings_for(ChainKind::Hamiltonian, 0.8, 100), 8);
  ASSERT_TRUE(pointwise.go(OnePointGaussian{}, x0, 0.5, 200));
  EXPECT_EQ(pointwise.samples, batched.samples);
}

TEST(Chains, StopAtAFailedValueWithTheChainAndPoint) {
  struct Case {
    ChainKind kind;
    double value;
    ChainFault::Kind expected;
    double step;
  };
  for (const Case c : {Case{ChainKind::RandomWalk, kNaN, ChainFault::Kind::NotANumber, 1.0},
                       Case{ChainKind::RandomWalk, kInf, ChainFault::Kind::PositiveInfinity, 1.0}}) {
    ChainRun<FailsBeyond> run(2, 1, settings_for(c.kind, 0.5, 0), 2);
    // Chain 1 starts near the threshold and crosses it first.
    const auto result = run.go(FailsBeyond{2.0, c.value}, {-5.0, 1.99}, c.step, 1000);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, c.expected);
    EXPECT_EQ(result.error().chain, 1u);
    ASSERT_EQ(result.error().point.size(), 1u);
    EXPECT_GT(result.error().point[0], 2.0);
  }
}

// A Hamiltonian trajectory that ends where the log-density is NaN or +inf
// diverged: the transition is rejected and counted, and the run goes on.
TEST(Chains, HamiltonianTrajectoriesEndingOnAFailedValueDivergeWithoutStopping) {
  for (const double value : {kNaN, kInf}) {
    ChainRun<FailsBeyond> run(2, 1, settings_for(ChainKind::Hamiltonian, 0.5, 0), 2);
    ASSERT_TRUE(run.go(FailsBeyond{2.0, value}, {-5.0, 1.99}, 0.5, 1000));
    for (const double x : run.samples) EXPECT_LE(x, 2.0);
    EXPECT_GT(run.view(1).divergent(), 0.0);
  }
}

// A standard Gaussian counting its gradient calls.
struct CountedGaussian {
  mutable std::size_t gradients = 0;
  double operator()(std::span<const double> x) const { return -0.5 * detail::squared_norm(x); }
  bool gradient(std::span<const double> x, std::span<double> g) const {
    ++gradients;
    for (std::size_t i = 0; i < x.size(); ++i) g[i] = -x[i];
    return true;
  }
};

TEST(Chains, HamiltonianTrajectoriesStopAtTheFirstStepBeyondTheEnergyBound) {
  // A step of 1000 on a unit Gaussian: the first leapfrog step's energy
  // error is about 5e5 r^2, beyond 1000 but for |r| < 0.05; a trajectory
  // that went on would take all 10 steps.
  const CountedGaussian f;
  ChainRun<CountedGaussian> run(1, 1, settings_for(ChainKind::Hamiltonian, 0.8, 0), 9);
  ASSERT_TRUE(run.go(f, {0.0}, 1000.0, 100));
  EXPECT_LT(f.gradients, 1u + 100u + 10u * 10u);
  EXPECT_GE(run.view(0).divergent(), 85.0);
  for (const double x : run.samples) EXPECT_TRUE(std::isfinite(x));
  // A usable step keeps every trajectory whole: 1 to 19 gradients per
  // transition, 10 on average (the sum of 100 has a spread of about 55).
  const CountedGaussian g;
  ChainRun<CountedGaussian> calm(1, 1, settings_for(ChainKind::Hamiltonian, 0.8, 0), 9);
  ASSERT_TRUE(calm.go(g, {0.0}, 0.3, 100));
  EXPECT_NEAR(static_cast<double>(g.gradients), 1.0 + 100.0 * 10.0, 250.0);
  EXPECT_EQ(calm.view(0).divergent(), 0.0);
}

TEST(Chains, TrajectoryLengthsSpreadEvenlyOverOneToTwiceTheMeanLessOne) {
  EXPECT_EQ(detail::trajectory_steps(0.0, 1), 1u);
  EXPECT_EQ(detail::trajectory_steps(0.999999, 1), 1u);
  std::vector<int> seen(20, 0);
  for (int k = 0; k < 1900; ++k) ++seen[detail::trajectory_steps((k + 0.5) / 1900.0, 10)];
  EXPECT_EQ(seen[0], 0);
  for (std::size_t n = 1; n <= 19; ++n) EXPECT_EQ(seen[n], 100) << n;
  EXPECT_EQ(detail::trajectory_steps(std::nextafter(1.0, 0.0), 10), 19u);
}

TEST(Chains, RefuseAStartOutsideTheSupportNamingTheChain) {
  ChainRun<FailsBeyond> run(3, 1, settings_for(ChainKind::RandomWalk, 0.5, 0), 2);
  const auto result = run.go(FailsBeyond{2.0, -kInf}, {0.0, 1.0, 3.0}, 1.0, 10);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, ChainFault::Kind::OutsideSupport);
  EXPECT_EQ(result.error().chain, 2u);
}

// A diagonal metric's row grows as d (a chain at d = 10^4 takes well under
// a megabyte); a dense one holds the factor and the warm-up's co-moments.
TEST(ChainState, ADiagonalRowIsLinearInTheDimension) {
  for (const std::size_t d : {1u, 2u, 50u, 10000u}) {
    EXPECT_LE(chain_words(d, false), 8 * d + 32) << d;
    EXPECT_GE(chain_words(d, true), 2 * d * d) << d;
    for (const bool dense : {false, true}) {
      std::vector<double> row(chain_words(d, dense));
      const ChainView view(row, d, dense);
      EXPECT_EQ(view.metric().size(), dense ? d * d : d);
      // The parts tile the row: the warm-up ends it.
      EXPECT_EQ(view.adaptation().data() + view.adaptation().size(), row.data() + row.size()) << d;
    }
  }
}

// A row of zeros, of the previous layout, or made for the other metric kind
// (at d = 2 both kinds' rows have the same length) is refused, not read.
TEST(Chains, RefuseAStateRowTheyDidNotMake) {
  const std::size_t d = 2;
  ASSERT_EQ(chain_words(d, false), chain_words(d, true));
  for (const int flaw : {0, 1, 2}) {
    ChainSettings settings = settings_for(ChainKind::RandomWalk, 0.5, 0);
    settings.dense = flaw == 2;
    ChainRun<Flat> run(1, d, settings, 2);
    if (flaw > 0) {
      auto maker = ChainGroup<Flat, RngSource>::make(Flat{}, run.sources, run.states, run.settings, run.scratch);
      ASSERT_TRUE(maker && maker->init(std::vector<double>(d, 0.5), std::vector<double>(1, 1.0)));
      if (flaw == 1) run.states[chain_layout::kVersionSlot] = 3.0;
    }
    run.settings.dense = false;
    auto group = ChainGroup<Flat, RngSource>::make(Flat{}, run.sources, run.states, run.settings, run.scratch);
    ASSERT_TRUE(group);
    const auto result = group->draw(1, 1, {});
    ASSERT_FALSE(result) << flaw;
    EXPECT_EQ(result.error().kind, ChainFault::Kind::BadState) << flaw;
  }
}

}  // namespace
}  // namespace varlix
