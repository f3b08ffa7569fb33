#include "continuous/tdr_squeeze.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <iostream>
#include <numbers>
#include <string>
#include <vector>

#include "random.hpp"
#include "sample_checks.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;
using Fn = std::function<double(double)>;

struct Density {
  std::string name;
  Fn pdf, dpdf, cdf;
  double lo, hi, area;
};

// Closed forms: the normal; gamma(3) = x^2 e^-x / 2; Student t with 3 degrees
// of freedom, F(t) = 1/2 + (atan(t/sqrt3) + (t/sqrt3) / (1 + t^2/3)) / pi;
// the parabola 1 - x^2 on [-1, 1]; the exponential on a domain wider than its
// support.
Density normal() {
  return {"normal", [](double x) { return std::exp(-0.5 * x * x); },
          [](double x) { return -x * std::exp(-0.5 * x * x); },
          [](double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }, -kInf, kInf,
          std::sqrt(2.0 * std::numbers::pi)};
}
Density gamma3() {
  return {"gamma3", [](double x) { return x * x * std::exp(-x); },
          [](double x) { return (2.0 * x - x * x) * std::exp(-x); },
          [](double x) { return 1.0 - std::exp(-x) * (1.0 + x + 0.5 * x * x); }, 0.0, kInf, 2.0};
}
Density student3() {
  return {"student3", [](double x) { return std::pow(1.0 + x * x / 3.0, -2.0); },
          [](double x) { return -4.0 * x / 3.0 * std::pow(1.0 + x * x / 3.0, -3.0); },
          [](double x) {
            const double r = x / std::sqrt(3.0);
            return 0.5 + (std::atan(r) + r / (1.0 + r * r)) / std::numbers::pi;
          },
          -kInf, kInf, std::numbers::pi * std::sqrt(3.0) / 2.0};
}
Density parabola() {
  return {"parabola", [](double x) { return 1.0 - x * x; }, [](double x) { return -2.0 * x; },
          [](double x) { return 0.75 * (x - x * x * x / 3.0) + 0.5; }, -1.0, 1.0, 4.0 / 3.0};
}
Density exponential_on_line() {
  return {"exponential", [](double x) { return x < 0.0 ? 0.0 : std::exp(-x); },
          [](double x) { return x < 0.0 ? 0.0 : -std::exp(-x); },
          [](double x) { return x < 0.0 ? 0.0 : -std::expm1(-x); }, -kInf, kInf, 1.0};
}

struct Case {
  Density density;
  TdrSqueezeTransform transform;
};

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  return info.param.density.name + (info.param.transform == TdrSqueezeTransform::Log ? "_log" : "_invsqrt");
}

TdrSqueezeTable build(const Density& d, TdrSqueezeOptions o) {
  o.domain_lo = d.lo;
  o.domain_hi = d.hi;
  auto built = build_tdr_squeeze(d.pdf, d.dpdf, o);
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error().message());
  return *std::move(built);
}

class TdrSqueezeDensities : public ::testing::TestWithParam<Case> {};

// Squeeze <= density <= hat on a grid, the areas in the same order, the
// requested ratio reached within the default interval budget.
TEST_P(TdrSqueezeDensities, SqueezeBelowDensityBelowHat) {
  const auto& [d, transform] = GetParam();
  const TdrSqueezeTable t = build(d, {.transform = transform});
  const double lo = std::fmax(d.lo, -12.0), hi = std::fmin(d.hi, 40.0);
  for (int i = 0; i <= 4000; ++i) {
    const double x = lo + (hi - lo) * i / 4000.0;
    const double f = d.pdf(x);
    ASSERT_LE(t.squeeze(x), f * (1.0 + 1e-12) + 1e-300) << "x = " << x;
    ASSERT_LE(f, t.hat(x) * (1.0 + 1e-12)) << "x = " << x;
  }
  EXPECT_GE(t.hat_area(), d.area);
  EXPECT_LE(t.squeeze_area(), d.area);
  EXPECT_GE(t.squeeze_hat_ratio(), 0.99);
  EXPECT_LE(t.intervals(), 100u);
}

TEST_P(TdrSqueezeDensities, DrawsFollowTheDensity) {
  const auto& [d, transform] = GetParam();
  const TdrSqueezeTable t = build(d, {.transform = transform});
  Rng rng = seed_from_u64(2024);
  RngSource src(rng);
  std::vector<double> xs(40000);
  ASSERT_TRUE(t.sample(d.pdf, src, xs).has_value());
  EXPECT_LT(sample_checks::ks_distance(xs, d.cdf), sample_checks::ks_limit(xs.size()));
}

// The inverse CDF of the hat is monotone, stays in the domain, ends on it.
TEST_P(TdrSqueezeDensities, HatInverseIsMonotone) {
  const auto& [d, transform] = GetParam();
  const TdrSqueezeTable t = build(d, {.transform = transform});
  double previous = t.ppf_hat(0.0);
  EXPECT_EQ(previous, t.domain_lo());
  for (int i = 1; i <= 1000; ++i) {
    const double x = t.ppf_hat(i / 1000.0);
    ASSERT_GE(x, previous) << i;
    previous = x;
  }
  EXPECT_EQ(previous, t.domain_hi());
  EXPECT_TRUE(std::isnan(t.ppf_hat(-0.1)));
  EXPECT_TRUE(std::isnan(t.ppf_hat(kNaN)));
}

TEST_P(TdrSqueezeDensities, BatchEqualsOneByOneAndStoredTableDrawsTheSame) {
  const auto& [d, transform] = GetParam();
  const TdrSqueezeTable t = build(d, {.transform = transform});
  const auto loaded = TdrSqueezeTable::from_words(t.to_words());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->hat_area(), t.hat_area());
  EXPECT_EQ(loaded->squeeze_area(), t.squeeze_area());
  Rng a = seed_from_u64(77), b = seed_from_u64(77);
  RngSource sa(a), sb(b);
  std::vector<double> batch(2000);
  ASSERT_TRUE(t.sample(d.pdf, sa, batch).has_value());
  for (const double x : batch) EXPECT_EQ(x, *loaded->draw(d.pdf, sb));
}

INSTANTIATE_TEST_SUITE_P(Densities, TdrSqueezeDensities,
                         ::testing::Values(Case{normal(), TdrSqueezeTransform::Log},
                                           Case{normal(), TdrSqueezeTransform::InvSqrt},
                                           Case{gamma3(), TdrSqueezeTransform::Log},
                                           Case{gamma3(), TdrSqueezeTransform::InvSqrt},
                                           Case{student3(), TdrSqueezeTransform::InvSqrt},
                                           Case{parabola(), TdrSqueezeTransform::Log},
                                           Case{parabola(), TdrSqueezeTransform::InvSqrt},
                                           Case{exponential_on_line(), TdrSqueezeTransform::Log},
                                           Case{exponential_on_line(), TdrSqueezeTransform::InvSqrt}),
                         case_name);

// At ratio 0.99 the density is called for about one draw in a hundred.
TEST(TdrSqueeze, DensityCallsPerDrawForTheNormal) {
  for (const auto transform : {TdrSqueezeTransform::Log, TdrSqueezeTransform::InvSqrt}) {
    const Density d = normal();
    const TdrSqueezeTable t = build(d, {.transform = transform});
    long calls = 0;
    const auto counted = [&](double x) {
      ++calls;
      return d.pdf(x);
    };
    Rng rng = seed_from_u64(1);
    RngSource src(rng);
    std::vector<double> xs(200000);
    ASSERT_TRUE(t.sample(counted, src, xs).has_value());
    const double per_draw = static_cast<double>(calls) / static_cast<double>(xs.size());
    std::cout << "normal, " << (transform == TdrSqueezeTransform::Log ? "c = 0" : "c = -0.5") << ": "
              << t.intervals() << " points, ratio " << t.squeeze_hat_ratio() << ", " << per_draw
              << " density calls per draw\n";
    EXPECT_LT(per_draw, 0.02);
  }
}

// Far from the scale of the default construction points most of them have
// zero or vanishing density; the tangents there are steep enough that T(hat)
// evaluated from the wrong end cancels to nonsense (a squeeze above the hat).
TEST(TdrSqueeze, ScalesFarFromOne) {
  for (const double scale : {1e-6, 1e-3, 1e4, 1e7}) {
    for (const auto transform : {TdrSqueezeTransform::Log, TdrSqueezeTransform::InvSqrt}) {
      const Fn pdf = [scale](double x) { return std::exp(-0.5 * (x / scale) * (x / scale)); };
      const Fn dpdf = [scale](double x) { return -x / (scale * scale) * std::exp(-0.5 * (x / scale) * (x / scale)); };
      const auto t = build_tdr_squeeze(pdf, dpdf, {.transform = transform});
      ASSERT_TRUE(t.has_value()) << scale;
      const double area = scale * std::sqrt(2.0 * std::numbers::pi);
      EXPECT_GE(t->hat_area(), area) << scale;
      EXPECT_LE(t->hat_area(), 1.02 * area) << scale;
      EXPECT_LE(t->squeeze_area(), area) << scale;
      EXPECT_GE(t->squeeze_hat_ratio(), 0.98) << scale;
    }
  }
}

TEST(TdrSqueeze, RefinementMeetsAHigherRatioOrTheBudget) {
  const Density d = normal();
  const TdrSqueezeTable fine = build(d, {.max_squeeze_hat_ratio = 0.9999, .max_intervals = 400});
  EXPECT_GE(fine.squeeze_hat_ratio(), 0.9999);
  const TdrSqueezeTable capped = build(d, {.max_squeeze_hat_ratio = 0.9999, .max_intervals = 50});
  EXPECT_EQ(capped.intervals(), 50u);
  EXPECT_LT(capped.squeeze_hat_ratio(), 0.9999);
  const TdrSqueezeTable fixed = build(d, {.construction_count = 5, .use_dars = false});
  EXPECT_EQ(fixed.intervals(), 5u);
}

TEST(TdrSqueeze, ExplicitPointsAndModeAreUsed) {
  const Density d = normal();
  const TdrSqueezeTable t = build(d, {.transform = TdrSqueezeTransform::Log,
                                      .mode = 0.0,
                                      .construction_points = {2.0, -1.0, 0.5, 6.0, -50.0},
                                      .use_dars = false});
  const std::vector<double> points(t.points().begin(), t.points().end());
  EXPECT_EQ(points, (std::vector<double>{-1.0, 0.0, 0.5, 2.0, 6.0}));
  // f(-50) underflows to 0: the domain ends there.
  EXPECT_EQ(t.domain_lo(), -50.0);
}

// Tangents on one side of the mode leave a tail that does not decay; those
// intervals are split even without refinement, and refused when the budget
// leaves no room.
TEST(TdrSqueeze, UnboundedTailIsSplitOrRefused) {
  const Density d = normal();
  const TdrSqueezeOptions left_only{.construction_points = {-3.0, -2.0}, .use_dars = false};
  const TdrSqueezeTable repaired = build(d, left_only);
  EXPECT_GT(repaired.intervals(), 2u);
  EXPECT_TRUE(std::isfinite(repaired.hat_area()));
  TdrSqueezeOptions no_room = left_only;
  no_room.max_intervals = 2;
  const auto refused = build_tdr_squeeze(d.pdf, d.dpdf, no_room);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error(), SetupError::not_t_concave(-2.0));
}

TEST(TdrSqueeze, SetupErrors) {
  const Fn normal_pdf = normal().pdf, normal_dpdf = normal().dpdf;
  const Fn cauchy = [](double x) { return 1.0 / (1.0 + x * x); };
  const Fn dcauchy = [](double x) { return -2.0 * x / ((1.0 + x * x) * (1.0 + x * x)); };
  const Fn bimodal = [](double x) { return std::exp(-0.5 * (x - 3) * (x - 3)) + std::exp(-0.5 * (x + 3) * (x + 3)); };
  const Fn dbimodal = [](double x) {
    return -(x - 3) * std::exp(-0.5 * (x - 3) * (x - 3)) - (x + 3) * std::exp(-0.5 * (x + 3) * (x + 3));
  };
  struct ErrorCase {
    std::string what;
    Fn pdf, dpdf;
    TdrSqueezeOptions options;
    SetupError::Kind kind;
  };
  const std::vector<ErrorCase> cases{
      {"pdf NaN", [](double x) { return x > 0.5 ? kNaN : std::exp(-x * x); }, normal_dpdf, {}, SetupError::Kind::BadValue},
      {"pdf negative", [](double x) { return x > 0.5 ? -1.0 : std::exp(-x * x); }, normal_dpdf, {}, SetupError::Kind::BadValue},
      {"pdf infinite", [](double x) { return x > 0.5 ? kInf : std::exp(-x * x); }, normal_dpdf, {}, SetupError::Kind::BadValue},
      {"dpdf NaN", normal_pdf, [](double) { return kNaN; }, {}, SetupError::Kind::BadValue},
      {"zero density", [](double) { return 0.0; }, [](double) { return 0.0; }, {}, SetupError::Kind::NoMass},
      {"area overflows", [](double x) { return 1e308 * std::exp(-0.5 * x * x); },
       [](double x) { return -x * (1e308 * std::exp(-0.5 * x * x)); }, {.transform = TdrSqueezeTransform::Log},
       SetupError::Kind::Divergent},
      {"empty domain", normal_pdf, normal_dpdf, {.domain_lo = 1.0, .domain_hi = 1.0}, SetupError::Kind::NoMass},
      {"cauchy not log-concave", cauchy, dcauchy, {.transform = TdrSqueezeTransform::Log}, SetupError::Kind::NotTConcave},
      {"bimodal", bimodal, dbimodal, {}, SetupError::Kind::NotTConcave},
      {"zero between positive points", [](double x) { return std::fabs(x) < 0.2 ? 0.0 : std::exp(-x * x); },
       normal_dpdf, {.construction_points = {-1.0, 0.0, 1.0}}, SetupError::Kind::NotTConcave},
  };
  for (const auto& c : cases) {
    const auto built = build_tdr_squeeze(c.pdf, c.dpdf, c.options);
    ASSERT_FALSE(built.has_value()) << c.what;
    EXPECT_EQ(built.error().kind(), c.kind) << c.what << ": " << built.error().message();
  }
  // The Cauchy density is T-concave for c = -1/2.
  EXPECT_TRUE(build_tdr_squeeze(cauchy, dcauchy, {}).has_value());
}

// A draw fails, rather than return a value of the wrong law, when the density
// it is given fails, exceeds the hat, or is zero wherever the hat has mass.
TEST(TdrSqueeze, DrawErrors) {
  const Density d = normal();
  const TdrSqueezeTable t = build(d, {});
  Rng rng = seed_from_u64(5);
  RngSource src(rng);
  std::vector<double> xs(10000);
  const auto nan = t.sample([](double) { return kNaN; }, src, xs);
  ASSERT_FALSE(nan.has_value());
  EXPECT_EQ(nan.error().kind(), SetupError::Kind::BadValue);
  const auto above = t.sample([&](double x) { return 2.0 * d.pdf(x); }, src, xs);
  ASSERT_FALSE(above.has_value());
  EXPECT_EQ(above.error().kind(), SetupError::Kind::NotTConcave);
  // One point on a bounded domain: a flat hat, no squeeze, every proposal
  // asks the density.
  const auto single = build_tdr_squeeze(
      d.pdf, d.dpdf, {.domain_lo = -1.0, .domain_hi = 1.0, .construction_points = {0.0}, .use_dars = false});
  ASSERT_TRUE(single.has_value());
  ASSERT_EQ(single->intervals(), 1u);
  const auto zero = single->draw([](double) { return 0.0; }, src);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error(), SetupError::no_mass());
}

// Setup hands a batch-capable density whole rounds of points at once.
TEST(TdrSqueeze, SetupEvaluatesInBatches) {
  struct Batched {
    std::vector<std::size_t>* sizes;
    double operator()(double x) const {
      sizes->push_back(1);
      return std::exp(-0.5 * x * x);
    }
    void eval_batch(std::span<const double> x, std::span<double> y) const {
      sizes->push_back(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) y[i] = std::exp(-0.5 * x[i] * x[i]);
    }
  };
  std::vector<std::size_t> sizes;
  const auto built = build_tdr_squeeze(Batched{&sizes}, normal().dpdf,
                                       {.transform = TdrSqueezeTransform::InvSqrt, .max_squeeze_hat_ratio = 0.999});
  ASSERT_TRUE(built.has_value());
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(sizes.front(), 30u);
  EXPECT_LT(sizes.size(), 20u);
  std::size_t total = 0;
  for (const std::size_t s : sizes) total += s;
  EXPECT_EQ(total, built->intervals());
}

TEST(TdrSqueeze, CorruptedWordsRefused) {
  const TdrSqueezeTable t = build(normal(), {.transform = TdrSqueezeTransform::Log, .construction_count = 4,
                                             .use_dars = false});
  const std::vector<double> good = t.to_words();
  // Layout: tag, version, transform, lo, hi, n, x[n], f[n], slope[n]; n = 4.
  const std::size_t x = 6, f = 10, s = 14;
  ASSERT_EQ(good.size(), 18u);
  std::vector<std::vector<double>> bad;
  const auto with = [&](std::size_t i, double v) {
    auto w = good;
    w[i] = v;
    bad.push_back(w);
  };
  with(0, 0.0);
  with(2, 2.0);              // no such transform
  with(3, kInf);             // lo above hi
  with(5, 0.0);              // no points
  with(5, 5.0);              // more points than stored
  with(x + 1, good[x]);      // repeated point
  with(x, kNaN);
  with(f + 2, 0.0);          // zero density at a point
  with(f + 2, -1.0);
  with(s, -100.0);           // slopes that increase: not concave
  with(s + 3, 0.5);          // right tail rising: unbounded hat
  with(s + 1, kInf);
  bad.push_back(std::vector<double>(good.begin(), good.end() - 1));
  for (std::size_t i = 0; i < bad.size(); ++i) {
    const auto r = TdrSqueezeTable::from_words(bad[i]);
    ASSERT_FALSE(r.has_value()) << "case " << i;
    EXPECT_EQ(r.error(), SetupError::bad_table()) << "case " << i;
  }
}

}  // namespace
}  // namespace varlix
