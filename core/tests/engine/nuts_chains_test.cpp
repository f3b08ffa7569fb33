#include "multivar/nuts_chains.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "multivar/central_difference_gradient.hpp"
#include "nuts_targets.hpp"
#include "random.hpp"

namespace varlix {
namespace {

using testing::ScaledGaussian;

// A record of `rows` iterations for `chains` chains of d coordinates.
struct Buffers {
  std::size_t rows;
  std::vector<double> samples, lp, accept, step, energy;
  std::vector<std::int64_t> depth, n_steps;
  std::vector<std::uint8_t> diverging;
  Buffers(std::size_t chains, std::size_t rows_, std::size_t d)
      : rows(rows_), samples(chains * rows_ * d), lp(chains * rows_), accept(chains * rows_), step(chains * rows_),
        energy(chains * rows_), depth(chains * rows_), n_steps(chains * rows_), diverging(chains * rows_) {}
  NutsRecord record() {
    return {rows, samples, lp, accept, step, energy, depth, n_steps, diverging};
  }
};

template <class E>
NutsChains<E> make_group(std::size_t chains, std::size_t d, std::uint64_t tune, std::vector<double> x0) {
  const std::vector<double> metric(chains * E::metric_size(d), 0.0);
  std::vector<double> m = metric;
  if constexpr (std::is_same_v<E, DiagonalEstimator>) {
    std::fill(m.begin(), m.end(), 1.0);
  } else {
    for (std::size_t c = 0; c < chains; ++c)
      for (std::size_t i = 0; i < d; ++i) m[c * d * d + i * d + i] = 1.0;
  }
  auto group = NutsChains<E>::make(NutsSettings{d, tune, 0.8, 10}, chains, x0, m);
  EXPECT_TRUE(group);
  return std::move(*group);
}

TEST(NutsChains, WarmupLearnsScalesAcrossFourOrdersAndPiecesMatchOneCall) {
  const std::size_t d = 20;
  const ScaledGaussian f{testing::log_uniform_scales(d, 0.01, 100.0)};
  const std::vector<double> x0(2 * d, 0.5);
  auto run = [&](std::vector<std::uint64_t> pieces) {
    auto group = make_group<DiagonalEstimator>(2, d, 600, x0);
    std::vector<Rng> rngs{seed_from_u64(3), seed_from_u64(4)};
    std::vector<RngSource> sources{RngSource(rngs[0]), RngSource(rngs[1])};
    EXPECT_TRUE(group.start(f, std::span(sources)));
    Buffers out(2, 1000, d);
    std::size_t cursor = 0;
    for (const std::uint64_t n : pieces) {
      EXPECT_TRUE(group.advance(f, std::span(sources), n, out.record(), cursor));
      cursor += n;
    }
    std::vector<double> scales(group.metric(0).begin(), group.metric(0).end());
    return std::pair(out, scales);
  };
  const auto [whole, scales] = run({1000});
  const auto [pieces, scales2] = run({1, 99, 500, 400});
  EXPECT_EQ(whole.samples, pieces.samples);
  EXPECT_EQ(whole.energy, pieces.energy);
  EXPECT_EQ(scales, scales2);
  for (std::size_t i = 0; i < d; ++i) {
    EXPECT_GT(scales[i] / f.sd[i], 0.5) << i;
    EXPECT_LT(scales[i] / f.sd[i], 2.0) << i;
  }
  // After the warm-up the step is fixed and nothing diverges.
  for (std::size_t k = 601; k < 1000; ++k) EXPECT_EQ(whole.step[k], whole.step[600]);
  std::vector<double> kept(whole.samples.begin() + 600 * d, whole.samples.begin() + 1000 * d);
  testing::expect_centred_moments(kept, d, [&] {
    std::vector<double> v(d);
    for (std::size_t i = 0; i < d; ++i) v[i] = f.sd[i] * f.sd[i];
    return v;
  }(), 5.0);
}

// A log-density of values only, through central differences.
struct ValueOnly {
  ScaledGaussian g;
  double operator()(std::span<const double> x) const { return g(x); }
};

TEST(NutsChains, CentralDifferencesMatchTheGradient) {
  const ValueOnly f{ScaledGaussian{{0.5, 2.0, 30.0}}};
  const CentralDifferenceGradient<ValueOnly> fd(f, 3);
  const std::vector<double> x{0.3, -1.0, 12.0};
  std::vector<double> g(3), exact(3);
  double v = 0.0, w = 0.0;
  ASSERT_TRUE(fd.value_and_gradient(x, g, v));
  ASSERT_TRUE(f.g.value_and_gradient(x, exact, w));
  EXPECT_EQ(v, w);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(g[i], exact[i], 1e-8 * std::fabs(exact[i]) + 1e-10);
}

TEST(NutsChains, StartRefusesPointsOutsideTheSupportAndNonFiniteValues) {
  struct Half {
    bool value_and_gradient(std::span<const double> x, std::span<double> g, double& value) const {
      value = x[0] < 0.0 ? -HUGE_VAL : (x[0] > 5.0 ? std::nan("") : -x[0]);
      g[0] = -1.0;
      return true;
    }
    double operator()(std::span<const double> x) const { return x[0]; }
  } f;
  for (const auto& [x, kind] : {std::pair{-1.0, ChainFault::Kind::OutsideSupport},
                                std::pair{6.0, ChainFault::Kind::NotANumber}}) {
    auto group = make_group<DiagonalEstimator>(1, 1, 0, {x});
    Rng rng = seed_from_u64(1);
    std::vector<RngSource> sources{RngSource(rng)};
    const auto started = group.start(f, std::span(sources));
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().kind, kind);
  }
}

// Unit variances, correlation 0.95.
struct Correlated {
  static constexpr double kRho = 0.95;
  bool value_and_gradient(std::span<const double> x, std::span<double> g, double& value) const {
      const double k = 1.0 / (1.0 - kRho * kRho);
      g[0] = -k * (x[0] - kRho * x[1]);
      g[1] = -k * (x[1] - kRho * x[0]);
      value = 0.5 * (g[0] * x[0] + g[1] * x[1]);
      return true;
    }
    double operator()(std::span<const double> x) const {
      std::vector<double> g(2);
      double v = 0.0;
      static_cast<void>(value_and_gradient(x, g, v));
      return v;
    }
};

TEST(NutsChains, DenseMetricLearnsACorrelatedCovariance) {
  const Correlated f;
  auto group = make_group<DenseEstimator>(1, 2, 1000, {1.0, 1.0});
  Rng rng = seed_from_u64(9);
  std::vector<RngSource> sources{RngSource(rng)};
  ASSERT_TRUE(group.start(f, std::span(sources)));
  Buffers out(1, 1000, 2);
  ASSERT_TRUE(group.advance(f, std::span(sources), 1000, out.record(), 0));
  const std::span<const double> l = group.metric(0);
  const double c00 = l[0] * l[0];
  const double c10 = l[2] * l[0];
  const double c11 = l[2] * l[2] + l[3] * l[3];
  EXPECT_NEAR(c00, 1.0, 0.35);
  EXPECT_NEAR(c11, 1.0, 0.35);
  EXPECT_NEAR(c10 / std::sqrt(c00 * c11), 0.95, 0.05);
}

}  // namespace
}  // namespace varlix
