// Hermite inversion: the u-error against the CDF over a grid for orders 1, 3
// and 5 on smooth, heavy-tailed, truncated, bounded and pole distributions;
// the interpolant's end conditions; call counts; sampling; stored tables and
// their corruption; every setup failure the method can meet.
#include "continuous/hinv.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "special_values.hpp"
#include "uniform_source.hpp"
#include "counted_function.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;
using testing_functions::Fn;

using Counted = testing_functions::CountedFn;
// The same function, vectorized: one eval_batch per batch of points.
using Batched = testing_functions::BatchedFn;

struct Cdf {
  Fn f;
  double operator()(double x) const { return f(x); }
};

double normal_pdf(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2 * std::numbers::pi); }
double normal_dpdf(double x) { return -x * normal_pdf(x); }
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

struct Case {
  const char* name;
  Fn cdf;
  Fn pdf;
  Fn dpdf;
  double lo;
  double hi;
  double center;
};

const Case kCases[] = {
    {"normal", normal_cdf, normal_pdf, normal_dpdf, -kInf, kInf, 0.0},
    {"exponential", [](double x) { return x <= 0 ? 0.0 : -std::expm1(-x); },
     [](double x) { return x < 0 ? 0.0 : std::exp(-x); }, [](double x) { return x < 0 ? 0.0 : -std::exp(-x); }, 0.0,
     kInf, 1.0},
    {"cauchy", [](double x) { return 0.5 + std::atan(x) / std::numbers::pi; },
     [](double x) { return 1 / (std::numbers::pi * (1 + x * x)); },
     [](double x) { return -2 * x / (std::numbers::pi * (1 + x * x) * (1 + x * x)); }, -kInf, kInf, 0.0},
    // Density 0 at both ends of the support: linear pieces there.
    {"beta(2,5)", [](double x) { return 1 - std::pow(1 - x, 5) * (1 + 5 * x); },
     [](double x) { return 30 * x * std::pow(1 - x, 4); },
     [](double x) { return 30 * (std::pow(1 - x, 4) - 4 * x * std::pow(1 - x, 3)); }, 0.0, 1.0, 0.2},
    {"normal on [-1, 2]", normal_cdf, normal_pdf, normal_dpdf, -1.0, 2.0, 0.0},
    // From the midpoint, the intervals near the mode have errors that peak
    // well off their midpoints (the first of them was 1.4 times the goal).
    {"beta(2,5) from 0.5", [](double x) { return 1 - std::pow(1 - x, 5) * (1 + 5 * x); },
     [](double x) { return 30 * x * std::pow(1 - x, 4); },
     [](double x) { return 30 * (std::pow(1 - x, 4) - 4 * x * std::pow(1 - x, 3)); }, 0.0, 1.0, 0.5},
    // A pole at 0 where the cut lands next to it.
    {"gamma(1/2)", [](double x) { return std::erf(std::sqrt(x)); },
     [](double x) { return std::exp(-x) / std::sqrt(std::numbers::pi * x); },
     [](double x) { return -std::exp(-x) * (1 + 0.5 / x) / std::sqrt(std::numbers::pi * x); }, 0.0, kInf, 1.0},
    // All the mass far to the right of the center: the left cut is the
    // center, and the first intervals are straight lines over a vanished tail.
    {"normal at 10, center 0", [](double x) { return normal_cdf(x - 10); }, [](double x) { return normal_pdf(x - 10); },
     [](double x) { return normal_dpdf(x - 10); }, -kInf, kInf, 0.0},
    // The CDF is flat outside (2, 3): those regions carry no u.
    {"box", [](double x) { return std::clamp(x - 2, 0.0, 1.0); }, [](double x) { return x > 2 && x < 3 ? 1.0 : 0.0; },
     [](double) { return 0.0; }, 0.0, 10.0, 0.0},
};

std::vector<double> u_grid() {
  std::vector<double> us;
  constexpr int kSteps = 20000;
  for (int i = 0; i <= kSteps; ++i) us.push_back(static_cast<double>(i) / kSteps);
  for (double t = 1e-13; t < 1e-4; t *= 1.7) {
    us.push_back(t);
    us.push_back(1 - t);
  }
  return us;
}

HinvTable build(const Case& c, int order, double u_resolution, std::vector<double> points = {}) {
  HinvOptions options{order, u_resolution, c.lo, c.hi, c.center, std::move(points)};
  auto table = build_hinv(Counted{c.cdf}, Counted{c.pdf}, Counted{c.dpdf}, options);
  EXPECT_TRUE(table) << c.name << ": " << (table ? "" : table.error().message());
  return *std::move(table);
}

struct Accuracy {
  int order;
  double u_resolution;
};

class HinvAccuracy : public testing::TestWithParam<std::tuple<Case, Accuracy>> {};

TEST_P(HinvAccuracy, UErrorWithinResolutionOnAGrid) {
  const auto& [c, a] = GetParam();
  const HinvTable table = build(c, a.order, a.u_resolution);
  const auto error = table.u_error(Cdf{c.cdf}, u_grid());
  ASSERT_TRUE(error);
  EXPECT_LE(error->max, a.u_resolution) << c.name;
  EXPECT_LE(table.midpoint_error(), a.u_resolution);
  double previous = -kInf;
  for (double u = 0; u <= 1; u += 1.0 / 4096) {
    const double x = table.ppf(u);
    EXPECT_GE(x, previous);
    EXPECT_GE(x, c.lo);
    EXPECT_LE(x, c.hi);
    previous = x;
  }
}

INSTANTIATE_TEST_SUITE_P(Distributions, HinvAccuracy,
                         testing::Combine(testing::ValuesIn(kCases),
                                          testing::Values(Accuracy{3, 1e-12}, Accuracy{5, 1e-12}, Accuracy{1, 1e-7},
                                                          Accuracy{5, 1e-14}, Accuracy{3, 1e-8})));

TEST(Hinv, HigherOrderNeedsFewerIntervalsAndCalls) {
  Counted cdf3{normal_cdf};
  Counted cdf5{normal_cdf};
  auto t3 = build_hinv(cdf3, Counted{normal_pdf}, AbsentFunction{}, HinvOptions{3, 1e-12});
  auto t5 = build_hinv(cdf5, Counted{normal_pdf}, Counted{normal_dpdf}, HinvOptions{5, 1e-12});
  ASSERT_TRUE(t3 && t5);
  // About 3000 and 520 intervals are what the method is known to need here.
  EXPECT_LT(t3->intervals(), 3500u);
  EXPECT_LT(t5->intervals(), 600u);
  EXPECT_LT(cdf5.calls, cdf3.calls / 4);
}

TEST(Hinv, OrderOneCallsTheCdfAlone) {
  Counted pdf{normal_pdf};
  auto table = build_hinv(Counted{normal_cdf}, pdf, AbsentFunction{}, HinvOptions{1, 1e-6});
  ASSERT_TRUE(table);
  EXPECT_EQ(pdf.calls, 0);
}

TEST(Hinv, BatchedFunctionsBuildTheSameTable) {
  Batched cdf{normal_cdf};
  Batched pdf{normal_pdf};
  Batched dpdf{normal_dpdf};
  auto a = build_hinv(cdf, pdf, dpdf, HinvOptions{5, 1e-12});
  auto b = build_hinv(Counted{normal_cdf}, Counted{normal_pdf}, Counted{normal_dpdf}, HinvOptions{5, 1e-12});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  // One batch per refinement round, not per point.
  EXPECT_LE(cdf.batches * 10, cdf.calls);
}

TEST(Hinv, ConstructionPointsBecomeNodes) {
  // A kink at 0.5, given as a construction point.
  HinvOptions options{3, 1e-10, 0.0, 1.0, 0.25, {0.5}};
  auto table = build_hinv(Counted{[](double x) { return x < 0.5 ? 2 * x * x : 1 - 2 * (1 - x) * (1 - x); }},
                          Counted{[](double x) { return x < 0.5 ? 4 * x : 4 * (1 - x); }}, AbsentFunction{}, options);
  ASSERT_TRUE(table);
  EXPECT_NEAR(table->ppf(0.5), 0.5, 1e-10);
  const auto error = table->u_error(Cdf{[](double x) { return x < 0.5 ? 2 * x * x : 1 - 2 * (1 - x) * (1 - x); }},
                                    u_grid());
  ASSERT_TRUE(error);
  EXPECT_LE(error->max, 1e-10);
}

TEST(Hinv, PolesAtTheDomainEndsAreFlatEndsOfTheInverse) {
  // beta(1/2, 1/2): infinite density at 0 and 1. Doubles next to 1 are
  // 1.1e-16 apart and hold 7e-9 of the mass: 1e-8 can be met, 1e-10 cannot.
  const auto cdf = [](double x) { return 2 / std::numbers::pi * std::asin(std::sqrt(x)); };
  const auto pdf = [](double x) { return 1 / (std::numbers::pi * std::sqrt(x * (1 - x))); };
  const auto dpdf = [](double x) { return (2 * x - 1) / (2 * std::numbers::pi * std::pow(x * (1 - x), 1.5)); };
  for (int order : {3, 5}) {
    auto table = build_hinv(Counted{cdf}, Counted{pdf}, Counted{dpdf}, HinvOptions{order, 1e-8, 0.0, 1.0, 0.5});
    ASSERT_TRUE(table) << table.error().message();
    const auto error = table->u_error(Cdf{cdf}, u_grid());
    ASSERT_TRUE(error);
    EXPECT_LE(error->max, 1e-8);
    auto too_fine = build_hinv(Counted{cdf}, Counted{pdf}, Counted{dpdf}, HinvOptions{order, 1e-10, 0.0, 1.0, 0.5});
    ASSERT_FALSE(too_fine);
    EXPECT_EQ(too_fine.error().kind(), SetupError::Kind::ResolutionNotMet);
  }
}

TEST(Hinv, PpfOutsideTheUnitIntervalIsNaN) {
  const HinvTable table = build(kCases[0], 3, 1e-10);
  for (double u : {-1e-300, 1.0 + 1e-15, kInf, -kInf, kNaN}) EXPECT_TRUE(std::isnan(table.ppf(u))) << u;
  EXPECT_EQ(table.ppf(0.0), table.support_lo());
}

TEST(Hinv, SeededBatchEqualsOneByOneAndFollowsPpf) {
  const HinvTable table = build(kCases[2], 5, 1e-12);
  constexpr std::size_t kDraws = 1000;
  Rng batch_rng = seed_from_u64(11);
  RngSource batch_source(batch_rng);
  std::vector<double> batch(kDraws);
  table.sample(batch_source, batch);
  Rng single_rng = seed_from_u64(11);
  RngSource single_source(single_rng);
  Rng uniform_rng = seed_from_u64(11);
  for (std::size_t i = 0; i < kDraws; ++i) {
    double x = 0.0;
    table.sample(single_source, std::span(&x, 1));
    EXPECT_EQ(x, batch[i]);
    EXPECT_EQ(x, table.ppf(standard_uniform(uniform_rng)));
  }
}

TEST(Hinv, InterpolantMeetsTheEndConditions) {
  // x(u) on [p0, p1] with slopes 1/f and curvatures -f'/f^3 at the ends.
  const HinvTable::End a{0.0, 0.2, 2.0, -3.0};
  const HinvTable::End b{1.0, 0.6, 4.0, 5.0};
  for (int order : {1, 3, 5}) {
    EXPECT_EQ(HinvTable::interpolate(order, a, b, 0.0), 0.0);
    EXPECT_NEAR(HinvTable::interpolate(order, a, b, 1.0), 1.0, 1e-14);
  }
  constexpr double kH = 1e-6;
  const double dp = b.p - a.p;
  const auto slope = [&](int order, double t) {
    return (HinvTable::interpolate(order, a, b, t + kH) - HinvTable::interpolate(order, a, b, t - kH)) / (2 * kH * dp);
  };
  EXPECT_NEAR(slope(3, kH), a.dx, 1e-4);
  EXPECT_NEAR(slope(3, 1 - kH), b.dx, 1e-4);
  EXPECT_NEAR(slope(5, kH), a.dx, 1e-4);
  EXPECT_NEAR(slope(5, 1 - kH), b.dx, 1e-4);
  constexpr double kC = 1e-4;
  const auto curvature = [&](double t) {
    return (HinvTable::interpolate(5, a, b, t + kC) - 2 * HinvTable::interpolate(5, a, b, t) +
            HinvTable::interpolate(5, a, b, t - kC)) /
           (kC * kC * dp * dp);
  };
  EXPECT_NEAR(curvature(kC), a.d2x, 1e-2);
  EXPECT_NEAR(curvature(1 - kC), b.d2x, 1e-2);
  // An infinite slope (density 0 at an end) falls back to the straight line.
  const HinvTable::End edge{0.0, 0.0, kInf, 0.0};
  EXPECT_DOUBLE_EQ(HinvTable::interpolate(3, edge, b, 0.5), 0.5);
  EXPECT_FALSE(HinvTable::monotone(3, HinvTable::End{0.0, 0.0, 100.0, 0.0}, HinvTable::End{1.0, 0.1, 100.0, 0.0}));
}

TEST(Hinv, StoredTableRoundTrips) {
  const HinvTable table = build(kCases[4], 5, 1e-11);
  const auto back = HinvTable::from_words(table.to_words());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, table);
}

TEST(Hinv, CorruptedTablesAreRefused) {
  const std::vector<double> words = build(kCases[0], 3, 1e-10).to_words();
  const std::size_t m = static_cast<std::size_t>(words[3]);
  const std::size_t p0 = 8;
  const std::size_t x0 = 8 + m + 1;
  struct Mutation {
    const char* what;
    std::size_t at;
    double value;
  };
  const Mutation mutations[] = {
      {"tag", 0, 0.0},
      {"version", 1, 0.0},
      {"order", 2, 4.0},
      {"order 5 with order 3 coefficients", 2, 5.0},
      {"interval count", 3, static_cast<double>(m - 1)},
      {"huge interval count", 3, 1e18},
      {"resolution", 4, -1.0},
      {"domain", 6, -kInf},
      {"midpoint error", 7, kNaN},
      {"levels out of order", p0 + 3, words[p0 + 2]},
      {"level NaN", p0, kNaN},
      {"starts out of order", x0 + 1, words[x0] - 1},
      {"coefficient NaN", words.size() - 2, kNaN},
  };
  for (const Mutation& mutation : mutations) {
    std::vector<double> bad = words;
    bad[mutation.at] = mutation.value;
    EXPECT_EQ(HinvTable::from_words(bad), std::unexpected(SetupError::bad_table())) << mutation.what;
  }
  EXPECT_EQ(HinvTable::from_words(std::span(words).first(words.size() - 1)),
            std::unexpected(SetupError::bad_table()));
}

struct Failure {
  const char* name;
  Fn cdf;
  Fn pdf;
  int order;
  double u_resolution;
  SetupError::Kind kind;
  double lo = -kInf;
  double hi = kInf;
};

class HinvFailure : public testing::TestWithParam<Failure> {};

TEST_P(HinvFailure, IsReportedAsItsKind) {
  const Failure& c = GetParam();
  auto table = build_hinv(Counted{c.cdf}, Counted{c.pdf}, AbsentFunction{}, HinvOptions{c.order, c.u_resolution, c.lo, c.hi});
  ASSERT_FALSE(table) << c.name;
  EXPECT_EQ(table.error().kind(), c.kind) << c.name << ": " << table.error().message();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HinvFailure,
    testing::Values(
        Failure{"CDF NaN", [](double x) { return x > 1 ? kNaN : normal_cdf(x); }, normal_pdf, 3, 1e-10,
                SetupError::Kind::BadValue},
        Failure{"pdf negative", normal_cdf, [](double x) { return -normal_pdf(x); }, 3, 1e-10,
                SetupError::Kind::BadValue},
        Failure{"pdf NaN", normal_cdf, [](double x) { return x > 0.5 ? kNaN : normal_pdf(x); }, 3, 1e-10,
                SetupError::Kind::BadValue},
        Failure{"decreasing CDF", [](double x) { return normal_cdf(x) + 0.2 * std::sin(4 * x) * normal_pdf(x); },
                normal_pdf, 3, 1e-10, SetupError::Kind::NotMonotone},
        Failure{"constant CDF", [](double) { return 0.5; }, normal_pdf, 3, 1e-10, SetupError::Kind::NoMass, 0.0, 1.0},
        Failure{"CDF never near 0", [](double x) { return 0.25 + 0.5 * normal_cdf(x); }, normal_pdf, 3, 1e-10,
                SetupError::Kind::Divergent},
        Failure{"order 1 at 1e-13", normal_cdf, normal_pdf, 1, 1e-13, SetupError::Kind::ResolutionNotMet}),
    [](const testing::TestParamInfo<Failure>& instance) {
      std::string name = instance.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

}  // namespace
}  // namespace varlix
