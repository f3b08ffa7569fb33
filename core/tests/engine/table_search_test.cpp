// The searches behind the fast draw loops: interval guides, the discrete
// guide table and the unrolled inversion passes must give exactly what a
// plain search (or ppf) gives, whatever the guide's size and the order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "continuous/hinv.hpp"
#include "continuous/interval_guide.hpp"
#include "continuous/pinv.hpp"
#include "continuous/tdr_squeeze.hpp"
#include "discrete/guide_table.hpp"
#include "random.hpp"
#include "uniform_source.hpp"

namespace varlix {
namespace {

// Starts of m intervals whose widths span many orders of magnitude, with
// repeated starts (empty intervals) among them.
std::vector<double> skewed_starts(std::size_t m, std::uint64_t seed) {
  Rng rng = seed_from_u64(seed);
  std::vector<double> starts{-3.0};
  for (std::size_t i = 0; i < m; ++i) {
    const double u = standard_uniform(rng);
    const double width = u < 0.1 ? 0.0 : std::pow(10.0, -8.0 * standard_uniform(rng));
    starts.push_back(starts.back() + width);
  }
  return starts;
}

std::size_t plain_locate(const std::vector<double>& starts, double v) {
  const std::size_t m = starts.size() - 1;
  const auto above = std::upper_bound(starts.begin(), starts.end(), v) - starts.begin();
  return std::clamp<std::size_t>(static_cast<std::size_t>(above > 0 ? above - 1 : 0), 0, m - 1);
}

class IntervalGuideSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(IntervalGuideSizes, LocatesLikeABinarySearch) {
  const std::vector<double> starts = skewed_starts(GetParam(), GetParam());
  IntervalGuide guide;
  ASSERT_TRUE(guide.build(starts));
  Rng rng = seed_from_u64(5);
  const double lo = starts.front(), hi = starts.back();
  std::vector<double> probes(starts.begin(), starts.end());
  for (int k = 0; k < 20000; ++k) probes.push_back(lo + (hi - lo) * standard_uniform(rng));
  for (const double s : starts) {
    probes.push_back(std::nextafter(s, -INFINITY));
    probes.push_back(std::nextafter(s, INFINITY));
  }
  probes.push_back(lo - 1.0);
  probes.push_back(hi + 1.0);
  for (const double v : probes) {
    // The plain search: the last interval i with starts[i] <= v.
    ASSERT_EQ(guide.locate(starts, v), plain_locate(starts, v)) << "v = " << v;
  }
}

// Small partitions get many entries per interval, large ones are capped.
INSTANTIATE_TEST_SUITE_P(Partitions, IntervalGuideSizes, ::testing::Values(1, 2, 7, 300, 5000, 70000));

class GuideTableLengths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(GuideTableLengths, DrawsTheSmallestValueWhoseCdfExceedsU) {
  Rng rng = seed_from_u64(GetParam());
  std::vector<double> pv(GetParam());
  for (double& p : pv) {
    const double u = standard_uniform(rng);
    p = u < 0.2 ? 0.0 : std::pow(10.0, -6.0 * standard_uniform(rng));
  }
  pv[GetParam() / 2] = 1.0;
  for (const double factor : {0.0, 1.0, 64.0}) {
    GuideTableOptions options;
    options.guide_factor = factor;
    options.domain_lo = -5;
    const auto table = build_guide_table(pv, options);
    ASSERT_TRUE(table.has_value());
    const auto reloaded = GuideTable::from_words(table->to_words());
    ASSERT_TRUE(reloaded.has_value());
    EXPECT_EQ(reloaded->guide_size(), table->guide_size());
    const std::span<const double> cdf = table->cumulative();
    std::vector<double> us;
    for (int k = 0; k < 20000; ++k) us.push_back(standard_uniform(rng));
    for (const double c : cdf) {
      if (c < 1.0) us.insert(us.end(), {c, std::nextafter(c, 0.0), std::nextafter(c, 1.0)});
    }
    for (const double u : us) {
      const auto expected = std::upper_bound(cdf.begin(), cdf.end(), u) - cdf.begin();
      struct One {
        double u;
        double next_double() { return u; }
      } one{u};
      ASSERT_EQ(table->draw(one), -5 + expected) << "u = " << u;
      One again{u};
      ASSERT_EQ(reloaded->draw(again), -5 + expected) << "u = " << u;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, GuideTableLengths, ::testing::Values(1, 3, 64, 1000, 5000));

double normal_pdf(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi); }
double normal_dpdf(double x) { return -x * normal_pdf(x); }
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

// The draw pass against ppf, uniform by uniform, for one table.
template <class Table>
void expect_sample_follows_ppf(const Table& table) {
  Rng rng = seed_from_u64(11);
  std::vector<double> us(4000);
  for (double& u : us) u = standard_uniform(rng);
  us.insert(us.end(), {0.0, 1e-300, 0.5, std::nextafter(1.0, 0.0), 1.0});
  std::vector<double> out(us.size());
  struct Replay {
    const double* u;
    double next_double() { return *u++; }
  } replay{us.data()};
  table.sample(replay, out);
  for (std::size_t i = 0; i < us.size(); ++i) ASSERT_EQ(out[i], table.ppf(us[i])) << "u = " << us[i];
}

class PinvOrders : public ::testing::TestWithParam<int> {};

TEST_P(PinvOrders, SampleFollowsPpf) {
  PinvOptions options;
  options.order = GetParam();
  options.u_resolution = 1e-12;
  const auto table = build_pinv([](double x) { return normal_pdf(x); }, options);
  ASSERT_TRUE(table.has_value());
  expect_sample_follows_ppf(*table);
}

// 3, 5 and 7 have unrolled passes; 4 and 12 take the general one.
INSTANTIATE_TEST_SUITE_P(Orders, PinvOrders, ::testing::Values(3, 4, 5, 7, 12));

class HinvOrders : public ::testing::TestWithParam<int> {};

TEST_P(HinvOrders, SampleFollowsPpf) {
  HinvOptions options;
  options.order = GetParam();
  // Straight lines need many intervals for a fine resolution.
  options.u_resolution = GetParam() == 1 ? 1e-7 : 1e-10;
  const auto table = build_hinv([](double x) { return normal_cdf(x); }, [](double x) { return normal_pdf(x); },
                                [](double x) { return normal_dpdf(x); }, options);
  ASSERT_TRUE(table.has_value());
  expect_sample_follows_ppf(*table);
}

INSTANTIATE_TEST_SUITE_P(Orders, HinvOrders, ::testing::Values(1, 3, 5));

// A normal density that takes batches and counts its calls; `fail_below`
// makes it fail (NaN) left of a point.
struct BatchNormal {
  mutable long calls = 0;
  mutable long points = 0;
  double fail_below = -INFINITY;
  double operator()(double x) const {
    ++calls;
    ++points;
    return x < fail_below ? NAN : std::exp(-0.5 * x * x);
  }
  void eval_batch(std::span<const double> x, std::span<double> y) const {
    ++calls;
    points += static_cast<long>(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = x[i] < fail_below ? NAN : std::exp(-0.5 * x[i] * x[i]);
  }
};

class TdrBatches : public ::testing::TestWithParam<TdrSqueezeTransform> {};

TEST_P(TdrBatches, SampleTakesTheUniformsOfDrawOneByOneAndCallsTheDensityInBatches) {
  TdrSqueezeOptions options;
  options.transform = GetParam();
  const auto table = build_tdr_squeeze(BatchNormal{}, [](double x) { return -x * std::exp(-0.5 * x * x); }, options);
  ASSERT_TRUE(table.has_value());
  for (const std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{100000}}) {
    Rng a = seed_from_u64(n), b = seed_from_u64(n);
    RngSource sa(a), sb(b);
    const BatchNormal batched;
    std::vector<double> out(n);
    ASSERT_TRUE(table->sample(batched, sa, out).has_value());
    const BatchNormal single;
    for (const double x : out) ASSERT_EQ(x, *table->draw(single, sb));
    // Exactly as many uniforms taken: the streams go on alike.
    EXPECT_EQ(sa.next_double(), sb.next_double());
    EXPECT_EQ(batched.points, single.points);
    if (n == 100000) {
      EXPECT_LT(batched.calls, 20) << batched.points << " points";
    }
  }
}

TEST_P(TdrBatches, AFailingDensityStopsTheSample) {
  TdrSqueezeOptions options;
  options.transform = GetParam();
  const auto table = build_tdr_squeeze(BatchNormal{}, [](double x) { return -x * std::exp(-0.5 * x * x); }, options);
  ASSERT_TRUE(table.has_value());
  BatchNormal failing;
  failing.fail_below = -1.0;
  Rng rng = seed_from_u64(3);
  RngSource source(rng);
  std::vector<double> out(100000);
  const auto done = table->sample(failing, source, out);
  ASSERT_FALSE(done.has_value());
  EXPECT_EQ(done.error().kind(), SetupError::Kind::BadValue);
}

INSTANTIATE_TEST_SUITE_P(Transforms, TdrBatches,
                         ::testing::Values(TdrSqueezeTransform::Log, TdrSqueezeTransform::InvSqrt));

}  // namespace
}  // namespace varlix
