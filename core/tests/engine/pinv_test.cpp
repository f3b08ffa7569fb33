// PINV: the u-error against closed-form CDFs over a grid for smooth, heavy-
// tailed, multimodal, narrow, kinked and pole densities; density call counts;
// sampling; the table's own CDF; stored tables and their corruption; every
// setup failure the method can meet.
#include "continuous/pinv.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

using Density = testing_functions::CountedFn;
// The same function, vectorized: one eval_batch per batch of points.
using BatchDensity = testing_functions::BatchedFn;

// The CDF of the density the table was built from, by adaptive quadrature
// from the table's left end (normalized by the table's area): a check
// independent of the table's own polynomials.
template <class F>
double quadrature_cdf(const PinvTable& table, const F& f, double x) {
  const double a = table.support_lo();
  if (x <= a) return 0.0;
  const double fa = f(a);
  const double fx = f(x);
  const auto part = integrate_gauss_lobatto(f, a, x, fa, fx, 1e-14 * table.area());
  EXPECT_TRUE(part);
  return part ? *part / table.area() : std::numeric_limits<double>::quiet_NaN();
}

struct Cdf {
  Fn f;
  double operator()(double x) const { return f(x); }
};

double normal_pdf(double x) { return std::exp(-0.5 * x * x); }
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }

// The regularized lower incomplete gamma function by its power series
// x^a e^-x sum x^n / Gamma(a + n + 1), for the gamma CDFs below.
double gamma_p(double a, double x) {
  if (x <= 0) return 0.0;
  double term = 1.0 / std::tgamma(a + 1);
  double sum = term;
  for (int n = 1; n < 500 && term > 1e-18 * sum; ++n) {
    term *= x / (a + n);
    sum += term;
  }
  return std::exp(a * std::log(x) - x) * sum;
}

struct Case {
  const char* name;
  Fn pdf;
  Fn cdf;
  double lo;
  double hi;
  double center;
};

// Closed forms; the densities are left unnormalized on purpose.
const Case kCases[] = {
    {"normal", normal_pdf, normal_cdf, -kInf, kInf, 0.0},
    {"exponential", [](double x) { return std::exp(-x); }, [](double x) { return -std::expm1(-x); }, 0.0, kInf, 0.0},
    {"cauchy", [](double x) { return 1.0 / (1.0 + x * x); },
     [](double x) { return 0.5 + std::atan(x) / std::numbers::pi; }, -kInf, kInf, 0.0},
    {"bimodal",
     [](double x) { return std::exp(-0.5 * (x + 3) * (x + 3)) + std::exp(-0.5 * (x - 3) * (x - 3)); },
     [](double x) { return 0.5 * (normal_cdf(x + 3) + normal_cdf(x - 3)); }, -kInf, kInf, -3.0},
    // sigma 1e-4 inside [-1000, 1000]: almost all of the domain has no mass.
    {"narrow peak", [](double x) { return std::exp(-0.5e8 * x * x); }, [](double x) { return normal_cdf(1e4 * x); },
     -1e3, 1e3, 0.0},
    // A kink at 0 and zero density at both ends of a finite support.
    {"triangle", [](double x) { return 1.0 - std::abs(x); },
     [](double x) { return x < 0 ? 0.5 * (1 + x) * (1 + x) : 1 - 0.5 * (1 - x) * (1 - x); }, -1.0, 1.0, 0.3},
    {"beta(2,5)", [](double x) { return x * std::pow(1 - x, 4); },
     [](double x) { return 1 - std::pow(1 - x, 5) * (1 + 5 * x); }, 0.0, 1.0, 0.2},
    // A pole at the domain's end: x^(-1/2) e^(-x).
    {"gamma(1/2)", [](double x) { return std::exp(-x) / std::sqrt(x); },
     [](double x) { return std::erf(std::sqrt(x)); }, 0.0, kInf, 0.0},
    // A stronger pole: the cut lies near 1e-41.
    {"gamma(0.3)", [](double x) { return std::exp(-x) * std::pow(x, -0.7); }, [](double x) { return gamma_p(0.3, x); },
     0.0, kInf, 1.0},
    // A pole, and the center at the other end: no mass is seen on the way
    // to either cut.
    {"x^(-1/2) from 1", [](double x) { return 1 / std::sqrt(x); }, [](double x) { return std::sqrt(x); }, 0.0, 1.0, 1.0},
    // A pole the function reports as 0 at the domain's end (as
    // scipy.stats.powerlaw does at 0): the cut must not stop short of it.
    {"hidden pole", [](double x) { return x <= 0 ? 0.0 : 0.659 * std::pow(x, -0.341); },
     [](double x) { return std::pow(x, 0.659); }, 0.0, 1.0, 0.35},
    // Double Weibull: zero density at 0 between two modes; from -0.5 the
    // outward search lands exactly on that zero.
    {"double weibull", [](double x) { return std::pow(std::abs(x), 1.0685) * std::exp(-std::pow(std::abs(x), 2.0685)); },
     [](double x) {
       const double tail = 0.5 * std::exp(-std::pow(std::abs(x), 2.0685));
       return x < 0 ? tail : 1 - tail;
     },
     -kInf, kInf, -0.5},
    // Mass only on (2, 3) and a center where the density is zero.
    {"box", [](double x) { return x > 2 && x < 3 ? 1.0 : 0.0; }, [](double x) { return std::clamp(x - 2, 0.0, 1.0); },
     0.0, 10.0, 0.0},
};

std::vector<double> u_grid() {
  std::vector<double> us;
  constexpr int kSteps = 20000;
  for (int i = 0; i <= kSteps; ++i) us.push_back(static_cast<double>(i) / kSteps);
  for (double t = 1e-12; t < 1e-4; t *= 1.7) {
    us.push_back(t);
    us.push_back(1 - t);
  }
  return us;
}

PinvTable build(const Case& c, int order, double u_resolution) {
  PinvOptions options{order, u_resolution, c.lo, c.hi, c.center};
  auto table = build_pinv(Density{c.pdf}, options);
  EXPECT_TRUE(table) << c.name << ": " << (table ? "" : table.error().message());
  return *std::move(table);
}

struct Accuracy {
  int order;
  double u_resolution;
};

class PinvAccuracy : public testing::TestWithParam<std::tuple<Case, Accuracy>> {};

TEST_P(PinvAccuracy, UErrorWithinResolutionOnAGrid) {
  const auto& [c, a] = GetParam();
  const PinvTable table = build(c, a.order, a.u_resolution);
  const std::vector<double> us = u_grid();
  const auto error = table.u_error(Cdf{c.cdf}, us);
  ASSERT_TRUE(error);
  EXPECT_LE(error->max, a.u_resolution) << c.name;
  EXPECT_LE(error->mean, error->max);
  EXPECT_LE(table.max_error(), a.u_resolution);
  // ppf is non-decreasing and stays on the support.
  double previous = -kInf;
  for (double u = 0; u <= 1; u += 1.0 / 4096) {
    const double x = table.ppf(u);
    EXPECT_GE(x, previous);
    EXPECT_GE(x, c.lo);
    EXPECT_LE(x, c.hi);
    previous = x;
  }
}

INSTANTIATE_TEST_SUITE_P(Densities, PinvAccuracy,
                         testing::Combine(testing::ValuesIn(kCases),
                                          testing::Values(Accuracy{5, 1e-10}, Accuracy{3, 1e-8},
                                                          Accuracy{17, 1e-12})));

INSTANTIATE_TEST_SUITE_P(NormalOrders, PinvAccuracy,
                         testing::Combine(testing::Values(kCases[0]),
                                          testing::Values(Accuracy{3, 1e-12}, Accuracy{4, 1e-10}, Accuracy{5, 1e-14},
                                                          Accuracy{8, 1e-13}, Accuracy{17, 1e-15},
                                                          Accuracy{5, 1e-5})));

TEST(Pinv, NormalAtOrderFiveNeedsFewDensityCalls) {
  // 6133 evaluations is what a mature implementation of the same method spends here.
  Density f{normal_pdf};
  ASSERT_TRUE(build_pinv(f, PinvOptions{5, 1e-10, -kInf, kInf, 0.0}));
  EXPECT_LE(f.calls, 6133);
}

TEST(Pinv, BatchFunctionBuildsTheSameTableInFewCalls) {
  BatchDensity batched{normal_pdf};
  Density scalar{normal_pdf};
  const PinvOptions options{5, 1e-10, -kInf, kInf, 0.0};
  auto a = build_pinv(batched, options);
  auto b = build_pinv(scalar, options);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(batched.calls, scalar.calls);
  // Nodes of an interval travel together: one batch per test round and per node round.
  EXPECT_LE(batched.batches * 10, batched.calls);
}

TEST(Pinv, ARejectedLastIntervalIsNotTriedAgainAtTheSameWidth) {
  // von Mises on [-pi, pi]: the interval that joins the rest of the domain
  // was rejected and, with the next step within the joining allowance,
  // built again unchanged until the rejection budget ran out.
  Density f{[](double x) { return std::exp(3.99 * std::cos(x)); }};
  auto table = build_pinv(f, PinvOptions{5, 1e-10, -std::numbers::pi, std::numbers::pi, 0.0});
  ASSERT_TRUE(table) << table.error().message();
  EXPECT_LE(f.calls, 10000);
  for (double u = 0.0005; u < 1; u += 0.001) {
    EXPECT_NEAR(quadrature_cdf(*table, f.f, table->ppf(u)), u, 1e-10);
  }
}

TEST(Pinv, APoleAtOneIsCutOnTheLastDoubleWhenItsMassFitsTheMargin) {
  // arcsine: 7e-9 of the mass lies between 1 and the double below it, more
  // than a twentieth of 1e-7 but within the resolution's unused margin.
  const auto cdf = [](double x) { return 2 / std::numbers::pi * std::asin(std::sqrt(x)); };
  auto table = build_pinv(Density{[](double x) { return 1 / std::sqrt(x * (1 - x)); }},
                          PinvOptions{5, 1e-7, 0.0, 1.0, 0.5});
  ASSERT_TRUE(table) << table.error().message();
  const auto error = table->u_error(Cdf{cdf}, u_grid());
  ASSERT_TRUE(error);
  EXPECT_LE(error->max, 1e-7);
  EXPECT_EQ(table->support_hi(), std::nextafter(1.0, 0.0));
}

TEST(Pinv, AreaIsTheIntegralOfTheDensity) {
  const PinvTable table = build(kCases[0], 5, 1e-12);
  EXPECT_NEAR(table.area(), std::sqrt(2 * std::numbers::pi), 1e-12);
  const PinvTable narrow = build(kCases[4], 5, 1e-10);
  EXPECT_NEAR(narrow.area(), 1e-4 * std::sqrt(2 * std::numbers::pi), 1e-15);
}

TEST(Pinv, TailsAreCutWhereTheirMassIsNegligible) {
  const PinvTable table = build(kCases[0], 5, 1e-10);
  // Each tail beyond the cut is below a twentieth of the resolution, and
  // the cut is not far beyond where it has to be.
  EXPECT_LE(normal_cdf(table.support_lo()), 0.05 * 1e-10);
  EXPECT_LE(normal_cdf(-table.support_hi()), 0.05 * 1e-10);
  EXPECT_GE(normal_cdf(table.support_lo()), 1e-16);
  EXPECT_EQ(table.ppf(0.0), table.support_lo());
  // At the far end x is steep in u: only the u-error counts there.
  EXPECT_LE(table.ppf(1.0), table.support_hi());
  EXPECT_LE(normal_cdf(-table.ppf(1.0)), 1e-10);
}

TEST(Pinv, PpfOutsideTheUnitIntervalIsNaN) {
  const PinvTable table = build(kCases[0], 5, 1e-10);
  for (double u : {-1e-300, 1.0 + 1e-15, kInf, -kInf, kNaN}) EXPECT_TRUE(std::isnan(table.ppf(u))) << u;
}

TEST(Pinv, SeededBatchEqualsOneByOneAndFollowsPpf) {
  const PinvTable table = build(kCases[2], 5, 1e-10);
  constexpr std::size_t kDraws = 1000;
  Rng batch_rng = seed_from_u64(7);
  RngSource batch_source(batch_rng);
  std::vector<double> batch(kDraws);
  table.sample(batch_source, batch);

  Rng single_rng = seed_from_u64(7);
  RngSource single_source(single_rng);
  Rng uniform_rng = seed_from_u64(7);
  for (std::size_t i = 0; i < kDraws; ++i) {
    double x = 0.0;
    table.sample(single_source, std::span(&x, 1));
    EXPECT_EQ(x, batch[i]);
    EXPECT_EQ(x, table.ppf(standard_uniform(uniform_rng)));
  }
}

TEST(Pinv, TableCdfInvertsPpf) {
  const PinvTable table = build(kCases[3], 5, 1e-10);
  for (double u = 0.001; u < 1; u += 0.0123) {
    EXPECT_NEAR(table.cdf(table.ppf(u)), u, 1e-14) << u;
  }
  EXPECT_EQ(table.cdf(table.support_lo() - 1), 0.0);
  EXPECT_EQ(table.cdf(kInf), 1.0);
  EXPECT_TRUE(std::isnan(table.cdf(kNaN)));
  // The CDF by quadrature agrees with the closed form.
  for (double x : {-6.0, -3.0, 0.1, 2.5, 7.0}) {
    // The table's masses carry the quadrature's error, a small part of the resolution.
    EXPECT_NEAR(quadrature_cdf(table, kCases[3].pdf, x), kCases[3].cdf(x), 1e-11) << x;
    EXPECT_NEAR(table.cdf(x), kCases[3].cdf(x), 1e-10) << x;
  }
}

TEST(Pinv, UErrorIsMeasuredOnTheTruncatedDomain) {
  const Case truncated{"normal on [-1, 2]", normal_pdf, normal_cdf, -1.0, 2.0, 0.0};
  const PinvTable table = build(truncated, 5, 1e-10);
  const auto error = table.u_error(Cdf{normal_cdf}, u_grid());
  ASSERT_TRUE(error);
  EXPECT_LE(error->max, 1e-10);
  EXPECT_EQ(table.support_lo(), -1.0);
  EXPECT_EQ(table.support_hi(), 2.0);
}

TEST(Pinv, StoredTableRoundTrips) {
  const PinvTable table = build(kCases[1], 7, 1e-11);
  const std::vector<double> words = table.to_words();
  const auto back = PinvTable::from_words(words);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, table);
  EXPECT_EQ(back->ppf(0.3), table.ppf(0.3));
}

TEST(Pinv, CorruptedTablesAreRefused) {
  const std::vector<double> words = build(kCases[0], 5, 1e-10).to_words();
  const std::size_t m = static_cast<std::size_t>(words[3]);
  const std::size_t u0 = 8;
  const std::size_t x0 = 8 + m + 1;
  struct Mutation {
    const char* what;
    std::size_t at;
    double value;
  };
  const Mutation mutations[] = {
      {"tag", 0, 1.0},
      {"version", 1, 2.0},
      {"order too low", 2, 2.0},
      {"order too high", 2, 18.0},
      {"order not integral", 2, 5.5},
      {"interval count", 3, static_cast<double>(m + 1)},
      {"huge interval count", 3, 1e300},
      {"resolution", 4, kNaN},
      {"domain", 5, kInf},
      {"first mass", u0, 1e-3},
      {"masses out of order", u0 + 2, words[u0 + 1]},
      {"mass NaN", u0 + m, kNaN},
      {"ends out of order", x0 + 1, words[x0 + 2]},
      {"coefficient infinite", words.size() - 1, kInf},
  };
  for (const Mutation& mutation : mutations) {
    std::vector<double> bad = words;
    bad[mutation.at] = mutation.value;
    EXPECT_EQ(PinvTable::from_words(bad), std::unexpected(SetupError::bad_table())) << mutation.what;
  }
  for (std::size_t size : {std::size_t{0}, std::size_t{7}, words.size() - 1}) {
    EXPECT_EQ(PinvTable::from_words(std::span(words).first(size)), std::unexpected(SetupError::bad_table()));
  }
  std::vector<double> longer = words;
  longer.push_back(0.0);
  EXPECT_EQ(PinvTable::from_words(longer), std::unexpected(SetupError::bad_table()));
}

struct Failure {
  const char* name;
  Fn pdf;
  double lo;
  double hi;
  int order;
  double u_resolution;
  SetupError::Kind kind;
};

class PinvFailure : public testing::TestWithParam<Failure> {};

TEST_P(PinvFailure, IsReportedAsItsKind) {
  const Failure& c = GetParam();
  auto table = build_pinv(Density{c.pdf}, PinvOptions{c.order, c.u_resolution, c.lo, c.hi, 0.0});
  ASSERT_FALSE(table) << c.name;
  EXPECT_EQ(table.error().kind(), c.kind) << c.name << ": " << table.error().message();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, PinvFailure,
    testing::Values(
        Failure{"NaN in a tail", [](double x) { return x > 2 ? kNaN : normal_pdf(x); }, -kInf, kInf, 5, 1e-10,
                SetupError::Kind::BadValue},
        Failure{"negative", [](double x) { return x < -1 ? -1.0 : normal_pdf(x); }, -kInf, kInf, 5, 1e-10,
                SetupError::Kind::BadValue},
        Failure{"pole inside", [](double x) { return 1 / std::abs(x - 0.5); }, 0.0, 1.0, 5, 1e-10,
                SetupError::Kind::BadValue},
        Failure{"zero", [](double) { return 0.0; }, -kInf, kInf, 5, 1e-10, SetupError::Kind::NoMass},
        Failure{"constant", [](double) { return 1.0; }, 0.0, kInf, 5, 1e-10, SetupError::Kind::Divergent},
        Failure{"1/x tail", [](double x) { return 1 / (1 + std::abs(x)); }, -kInf, kInf, 5, 1e-10,
                SetupError::Kind::Divergent},
        Failure{"1/x pole", [](double x) { return 1 / x; }, 0.0, 1.0, 5, 1e-10, SetupError::Kind::Divergent},
        Failure{"order 3 at 1e-15", normal_pdf, -kInf, kInf, 3, 1e-15, SetupError::Kind::ResolutionNotMet},
        // Doubles next to 1 are 1.1e-16 apart, and the mass there is 7e-9:
        // the pole cannot be cut finely enough for 1e-10.
        Failure{"pole at 1", [](double x) { return 1 / std::sqrt(x * (1 - x)); }, 0.0, 1.0, 5, 1e-10,
                SetupError::Kind::ResolutionNotMet}),
    [](const testing::TestParamInfo<Failure>& instance) {
      std::string name = instance.param.name;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(Pinv, BadValueNamesThePointAndTheValue) {
  auto table = build_pinv(Density{[](double x) { return x > 2 ? kNaN : normal_pdf(x); }},
                          PinvOptions{5, 1e-10, -kInf, kInf, 0.0});
  ASSERT_FALSE(table);
  EXPECT_GT(table.error().x(), 2.0);
  EXPECT_TRUE(std::isnan(table.error().value()));
}

}  // namespace
}  // namespace varlix
