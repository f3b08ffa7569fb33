#include "discrete/custom.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

DiscreteSampler build(std::vector<double> points, std::vector<double> pmf) {
  auto built = DiscreteSampler::from_pmf(std::move(points), std::move(pmf));
  EXPECT_TRUE(built.has_value());
  return *std::move(built);
}

TEST(DiscreteSampler, OneTwoThreeTable) {
  const auto d = build({1, 2, 3}, {1, 1, 2});
  EXPECT_EQ(std::vector<double>(d.cumulative().begin(), d.cumulative().end()),
            (std::vector<double>{0.25, 0.5, 1.0}));
  EXPECT_EQ(d.pmf(2.0), 0.25);
  EXPECT_EQ(d.pmf(2.0 + 1e-13), 0.25);
  EXPECT_EQ(d.pmf(2.1), 0.0);
  EXPECT_EQ(d.cdf_at(1), 0.5);
  EXPECT_EQ(d.pmf_at(0), 0.25);
  EXPECT_EQ(d.pmf_at(2), 0.5);
  EXPECT_EQ(d.pmf_at(3), std::nullopt);
  EXPECT_EQ(d.cdf_at(3), std::nullopt);
  EXPECT_EQ(d.mean(), 2.25);
  EXPECT_EQ(d.var(), 11.0 / 16.0);
  EXPECT_EQ(d.std(), std::sqrt(11.0 / 16.0));
}

TEST(DiscreteSampler, QuantileSearch) {
  const auto d = build({1, 2, 3}, {1, 1, 2});
  struct Case {
    double u;
    double point;
  };
  for (const Case c : {Case{0.25, 1}, Case{std::nextafter(0.25, 1.0), 2}, Case{0.5, 2}, Case{0.75, 3},
                       Case{1e-300, 1}, Case{std::nextafter(1.0, 0.0), 3}}) {
    EXPECT_EQ(d.ppf(c.u), c.point) << c.u;
  }
  // Exact equality picks the last index at that value, here a zero-mass point.
  EXPECT_EQ(build({10, 20, 30}, {0.5, 0, 0.5}).ppf(0.5), 20);
  // A leading zero mass is skipped unless u is exactly 0, which is refused.
  EXPECT_EQ(build({10, 20}, {0, 1}).ppf(1e-300), 20);
}

TEST(DiscreteSampler, QuantileOutsideOpenUnitInterval) {
  const auto d = build({1, 2, 3}, {1, 1, 2});
  for (const double u : {0.0, 1.0, -0.25, kInf, kNaN}) {
    const auto r = d.ppf(u);
    ASSERT_FALSE(r.has_value()) << u;
    EXPECT_EQ(r.error(), SampleError::quantile_out_of_range(u));
  }
}

TEST(DiscreteSampler, BuildFailuresInOrder) {
  struct Case {
    std::vector<double> points;
    std::vector<double> pmf;
    BuildError error;
  };
  const Case cases[] = {
      {{}, {}, BuildError::empty_support()},
      {{1}, {}, BuildError::empty_support()},
      {{1, 2}, {1}, BuildError::invalid_support("points and pmf must have the same length")},
      {{1, 2}, {0, 0}, BuildError::normalization_failed()},
      {{1, 2}, {1, -1e-300}, BuildError::non_positive_mass()},
      {{1, 2}, {1, kInf}, BuildError::non_positive_mass()},
      {{1, 2}, {kNaN, -1}, BuildError::non_positive_mass()},
      {{1, 2}, {1e308, 1e308}, BuildError::normalization_failed()},
  };
  for (const auto& c : cases) {
    const auto r = DiscreteSampler::from_pmf(c.points, c.pmf);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), c.error.message());
  }
  EXPECT_TRUE(DiscreteSampler::from_pmf({1, 2}, {1, -0.0}).has_value());
}

TEST(DiscreteSampler, DuplicatePointsStaySeparate) {
  const auto d = build({5, 5}, {1, 3});
  EXPECT_EQ(d.size(), 2u);
  EXPECT_EQ(d.pmf(5.0), 0.25);
}

TEST(DiscreteSampler, SinglePoint) {
  const auto d = build({4}, {0.3});
  for (const double u : {1e-300, 0.5, std::nextafter(1.0, 0.0)}) EXPECT_EQ(d.ppf(u), 4.0);
  EXPECT_EQ(d.pmf_at(0), 1.0);
  EXPECT_EQ(d.cdf_at(0), 1.0);
  EXPECT_EQ(d.var(), 0.0);
}

TEST(DiscreteSampler, LastMassAbsorbsRounding) {
  const auto d = build({0, 1, 2}, {0.1, 0.1, 0.1});
  EXPECT_EQ(d.cumulative().back(), 1.0);
  EXPECT_EQ(*d.pmf_at(2), 1.0 - d.cumulative()[1]);
}

TEST(DiscreteSampler, NaNPointsAreKeptButNeverMatched) {
  const auto d = build({kNaN, 1}, {1, 1});
  EXPECT_EQ(d.pmf(kNaN), 0.0);
  EXPECT_TRUE(std::isnan(d.mean()));
  EXPECT_TRUE(std::isnan(d.var()));
}

TEST(DiscreteSampler, SeededBatchEqualsOneByOneDraws) {
  const auto d = build({1, 2, 3, 4}, {0.1, 0.2, 0.3, 0.4});
  auto batch_rng = seed_from_u64(7);
  const auto batch = d.sample_n_with_rng(64, batch_rng);
  ASSERT_TRUE(batch.has_value());
  auto single_rng = seed_from_u64(7);
  for (const double value : *batch) EXPECT_EQ(d.sample_with_rng(single_rng), value);
  // Inversion of the documented uniform stream: 0.7090754154265618 falls in
  // (0.6, 1.0], 0.46592172228961015 in (0.3, 0.6].
  auto rng = seed_from_u64(0);
  EXPECT_EQ(d.sample_with_rng(rng), 4.0);
  EXPECT_EQ(d.sample_with_rng(rng), 3.0);
}

TEST(DiscreteSampler, BatchSizes) {
  const auto d = build({1, 2}, {1, 1});
  auto rng = seed_from_u64(1);
  EXPECT_EQ(d.sample_n_with_rng(0, rng)->size(), 0u);
  EXPECT_EQ(d.sample_n(3)->size(), 3u);
  // Far beyond any machine: refused before a single draw.
  EXPECT_EQ(d.sample_n_with_rng(std::uint64_t{1} << 62, rng).error(), SampleError::out_of_memory());
  EXPECT_EQ(d.sample_n(std::numeric_limits<std::uint64_t>::max()).error(), SampleError::out_of_memory());
}

TEST(DiscreteSampler, SeededFrequenciesMatchMasses) {
  // 40000 draws: the standard error of each frequency is below 0.0025, so a
  // 0.01 band is four sigma and a wrong table misses it by far.
  const auto d = build({0, 1, 2, 3}, {0.1, 0.2, 0.3, 0.4});
  auto rng = seed_from_u64(12345);
  const auto draws = d.sample_n_with_rng(40000, rng);
  ASSERT_TRUE(draws.has_value());
  double counts[4] = {};
  for (const double x : *draws) counts[static_cast<int>(x)] += 1;
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(counts[k] / 40000.0, 0.1 * (k + 1), 0.01) << k;
}

}  // namespace
}  // namespace varlix
