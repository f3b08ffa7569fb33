#include "continuous/tdr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <vector>

#include "continuous/dpdf.hpp"
#include "random.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

// A density on [lo, hi] that counts its calls and records where it was asked.
struct TestPdf {
  std::function<double(double)> f;
  double a;
  double b;
  mutable std::vector<double> asked;

  double pdf(double x) const {
    asked.push_back(x);
    return f(x);
  }
  double lo() const { return a; }
  double hi() const { return b; }
};

double normal_density(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi); }

TestPdf normal_on(double lo, double hi) { return {normal_density, lo, hi, {}}; }

TdrOptions options(double lo, double hi, TdrTransform transform, std::uint64_t points = 30) {
  return {.support = {lo, hi}, .construction_points = points, .max_trials = 100000, .transform = transform};
}

std::expected<TdrHat, BuildError> build(const TestPdf& pdf, const TdrOptions& opts, double rel_step = 1e-4) {
  return TdrHat::try_build(pdf, NumericalDpdf<const TestPdf&>(pdf, rel_step), opts);
}

TEST(TdrHat, NormalLogHatHasTheDocumentedShape) {
  const TestPdf pdf = normal_on(-5.0, 5.0);
  const auto hat = build(pdf, options(-5.0, 5.0, TdrTransform::Log));
  ASSERT_TRUE(hat.has_value());
  EXPECT_FALSE(hat->box_max().has_value());
  // 30 midpoints plus one point 1e-12 of the width inside each end.
  ASSERT_EQ(hat->xs().size(), 32u);
  EXPECT_EQ(hat->xs().front(), -5.0 + 10.0 * 1e-12);
  EXPECT_EQ(hat->xs().back(), 5.0 - 10.0 * 1e-12);
  EXPECT_EQ(hat->xs()[1], -5.0 + 0.5 / 30.0 * 10.0);
  EXPECT_TRUE(std::ranges::is_sorted(hat->xs()));
  EXPECT_EQ(hat->breakpoints().size(), 31u);
  EXPECT_TRUE(std::ranges::is_sorted(hat->breakpoints()));
  EXPECT_GE(hat->breakpoints().front(), -5.0);
  EXPECT_LE(hat->breakpoints().back(), 5.0);
  EXPECT_TRUE(std::ranges::is_sorted(hat->cdf()));
  EXPECT_EQ(hat->cdf().back(), 1.0);
  for (const double area : hat->areas()) {
    EXPECT_GT(area, 0.0);
  }
  // The tangents of a log-concave density lie above it everywhere.
  for (double x = -5.0; x <= 5.0; x += 0.001) {
    EXPECT_GE(hat->hat_log(x), std::log(normal_density(x)) - 1e-9) << x;
  }
}

TEST(TdrHat, UniformDensityNeedsTheBoxHat) {
  const TestPdf pdf{[](double) { return 0.25; }, 0.0, 4.0, {}};
  EXPECT_EQ(build(pdf, options(0.0, 4.0, TdrTransform::Log)).error(), BuildError::tdr_build_failed());
  const auto box = build(pdf, options(0.0, 4.0, TdrTransform::InvSqrt));
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->box_max(), 0.25);
  EXPECT_TRUE(box->xs().empty());
  EXPECT_TRUE(box->cdf().empty());
}

// The box height is the largest value at the grid midpoints, without any
// safety factor: a peak between midpoints stays above it.
TEST(TdrHat, BoxHeightIsTheLargestMidpointValue) {
  const TestPdf pdf{[](double x) { return 1.0 - std::abs(x); }, -1.0, 1.0, {}};
  const auto box = build(pdf, options(-1.0, 1.0, TdrTransform::InvSqrt));
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->box_max(), 1.0 - std::abs(-1.0 + 15.5 / 32.0 * 2.0));
  EXPECT_LT(*box->box_max(), pdf.f(0.0));
}

struct PointCountCase {
  TdrTransform transform;
  std::uint64_t requested;
  std::size_t density_calls;  // at build time, for the box; points kept, for Log
};

class TdrPointCount : public ::testing::TestWithParam<PointCountCase> {};

TEST_P(TdrPointCount, SmallCountsUseTheFloor) {
  const auto [transform, requested, expected] = GetParam();
  const TestPdf pdf = normal_on(-5.0, 5.0);
  const auto hat = build(pdf, options(-5.0, 5.0, transform, requested));
  ASSERT_TRUE(hat.has_value());
  if (transform == TdrTransform::InvSqrt) {
    EXPECT_EQ(pdf.asked.size(), expected);
  } else {
    EXPECT_EQ(hat->xs().size(), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Floors, TdrPointCount,
                         ::testing::Values(PointCountCase{TdrTransform::Log, 0, 6}, PointCountCase{TdrTransform::Log, 1, 6},
                                           PointCountCase{TdrTransform::Log, 2, 6}, PointCountCase{TdrTransform::Log, 3, 6},
                                           PointCountCase{TdrTransform::Log, 5, 7},
                                           PointCountCase{TdrTransform::InvSqrt, 0, 32},
                                           PointCountCase{TdrTransform::InvSqrt, 3, 32},
                                           PointCountCase{TdrTransform::InvSqrt, 33, 33}));

TEST(TdrHat, EnormousPointCountsAreRefusedBeforeAnyDensityCall) {
  const TestPdf pdf = normal_on(-5.0, 5.0);
  for (const auto transform : {TdrTransform::Log, TdrTransform::InvSqrt}) {
    for (const std::uint64_t points : {kMaxTdrConstructionPoints + 1, std::numeric_limits<std::uint64_t>::max()}) {
      EXPECT_EQ(build(pdf, options(-5.0, 5.0, transform, points)).error(), BuildError::tdr_build_failed());
    }
  }
  EXPECT_TRUE(pdf.asked.empty());
  const TestPdf cheap{[](double x) { return 1.0 + x; }, 0.0, 1.0, {}};
  const auto at_limit = build(cheap, options(0.0, 1.0, TdrTransform::InvSqrt, kMaxTdrConstructionPoints));
  ASSERT_TRUE(at_limit.has_value());
  EXPECT_EQ(cheap.asked.size(), kMaxTdrConstructionPoints);
}

struct BuildFailureCase {
  const char* name;
  double opts_lo;
  double opts_hi;
  double pdf_lo;
  double pdf_hi;
  BuildError error;
};

class TdrBuildFailure : public ::testing::TestWithParam<BuildFailureCase> {};

TEST_P(TdrBuildFailure, SupportIsCheckedBeforeTheDensity) {
  const auto& c = GetParam();
  for (const auto transform : {TdrTransform::Log, TdrTransform::InvSqrt}) {
    const TestPdf pdf{normal_density, c.pdf_lo, c.pdf_hi, {}};
    const auto hat = build(pdf, options(c.opts_lo, c.opts_hi, transform));
    ASSERT_FALSE(hat.has_value());
    EXPECT_EQ(hat.error(), c.error);
    EXPECT_TRUE(pdf.asked.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Support, TdrBuildFailure,
    ::testing::Values(
        BuildFailureCase{"NaNLo", kNaN, 1.0, 0.0, 1.0, BuildError::non_finite("support bounds")},
        BuildFailureCase{"InfHi", 0.0, kInf, 0.0, 1.0, BuildError::non_finite("support bounds")},
        BuildFailureCase{"Equal", 1.0, 1.0, 1.0, 1.0,
                         BuildError::invalid_support("lo must be strictly less than hi")},
        BuildFailureCase{"Reversed", 2.0, 1.0, 2.0, 1.0,
                         BuildError::invalid_support("lo must be strictly less than hi")},
        BuildFailureCase{"Mismatch", 0.0, 1.0, 0.0, 2.0,
                         BuildError::invalid_support("pdf/dpdf support must match opts.support")},
        BuildFailureCase{"NaNPdfEnd", 0.0, 1.0, 0.0, kNaN,
                         BuildError::invalid_support("pdf/dpdf support must match opts.support")}),
    [](const auto& instance) { return instance.param.name; });

TEST(TdrHat, DensityZeroOnTheGridFailsBothTransforms) {
  const TestPdf zero{[](double) { return 0.0; }, 0.0, 1.0, {}};
  const TestPdf broken{[](double) { return kNaN; }, 0.0, 1.0, {}};
  for (const TestPdf* pdf : {&zero, &broken}) {
    for (const auto transform : {TdrTransform::Log, TdrTransform::InvSqrt}) {
      EXPECT_EQ(build(*pdf, options(0.0, 1.0, transform)).error(), BuildError::tdr_build_failed());
    }
  }
}

// Replaying the generator shows how many uniforms each trial takes and in
// which order: the engines compare equal only at the same stream position.
TEST(TdrHat, BoxTrialDrawsOneUniformAndASecondForValidValues) {
  const TestPdf pdf{[](double) { return 0.5; }, 1.0, 3.0, {}};
  const auto box = build(pdf, options(1.0, 3.0, TdrTransform::InvSqrt));
  ASSERT_TRUE(box.has_value());
  Rng rng = seed_from_u64(5);
  Rng replay = seed_from_u64(5);
  const auto x = box->sample_with_rng(pdf, rng);
  const double expected = standard_uniform(replay) * 2.0 + 1.0;
  (void)standard_uniform(replay);
  EXPECT_EQ(x, expected);
  EXPECT_EQ(rng, replay);

  TdrHat limited = *build(pdf, TdrOptions{.support = {1.0, 3.0}, .construction_points = 30, .max_trials = 3,
                                          .transform = TdrTransform::InvSqrt});
  const TestPdf failing{[](double) { return kNaN; }, 1.0, 3.0, {}};
  EXPECT_EQ(limited.sample_with_rng(failing, rng).error(), SampleError::tdr_sample_failed());
  for (int i = 0; i < 3; ++i) {
    (void)standard_uniform(replay);
  }
  EXPECT_EQ(rng, replay);
  EXPECT_EQ(failing.asked.size(), 3u);
}

TEST(TdrHat, LogTrialDrawsFromTheHatThenOneUniform) {
  const TestPdf pdf = normal_on(-5.0, 5.0);
  const auto hat = build(pdf, options(-5.0, 5.0, TdrTransform::Log));
  ASSERT_TRUE(hat.has_value());
  // The hat itself as the density: every proposal is accepted at its first trial.
  const TestPdf itself{[&](double x) { return std::exp(hat->hat_log(x)); }, -5.0, 5.0, {}};
  Rng rng = seed_from_u64(9);
  Rng replay = seed_from_u64(9);
  for (int i = 0; i < 50; ++i) {
    const auto x = hat->sample_with_rng(itself, rng);
    EXPECT_EQ(x, hat->sample_from_hat(replay));
    (void)standard_uniform(replay);
    EXPECT_EQ(rng, replay);
  }
  // A zero density rejects without the third uniform.
  const TestPdf zero{[](double) { return 0.0; }, -5.0, 5.0, {}};
  TdrHat limited = *build(pdf, TdrOptions{.support = {-5.0, 5.0}, .construction_points = 30, .max_trials = 4,
                                          .transform = TdrTransform::Log});
  EXPECT_EQ(limited.sample_with_rng(zero, rng).error(), SampleError::tdr_sample_failed());
  for (int i = 0; i < 4; ++i) {
    (void)hat->sample_from_hat(replay);
  }
  EXPECT_EQ(rng, replay);
}

TEST(TdrHat, ZeroMaxTrialsActsAsOne) {
  for (const auto transform : {TdrTransform::Log, TdrTransform::InvSqrt}) {
    for (const std::uint64_t trials : {0u, 1u}) {
      const TestPdf pdf = normal_on(-5.0, 5.0);
      const TdrHat hat = *build(pdf, TdrOptions{.support = {-5.0, 5.0}, .construction_points = 30,
                                                .max_trials = trials, .transform = transform});
      const TestPdf failing{[](double) { return kNaN; }, -5.0, 5.0, {}};
      Rng rng = seed_from_u64(3);
      EXPECT_EQ(hat.sample_with_rng(failing, rng).error(), SampleError::tdr_sample_failed());
      EXPECT_EQ(failing.asked.size(), 1u);
    }
  }
}

// The log hat of a density that is not log-concave is no hat. Once a proposal
// shows the density above it, the draw fails instead of returning a value
// from the wrong law.
TEST(TdrHat, DensityAboveTheLogHatFailsTheDraw) {
  const TestPdf cauchy{[](double x) { return 1.0 / (std::numbers::pi * (1.0 + x * x)); }, -10.0, 10.0, {}};
  const auto hat = build(cauchy, options(-10.0, 10.0, TdrTransform::Log));
  ASSERT_TRUE(hat.has_value());
  Rng rng = seed_from_u64(2);
  int failures = 0;
  for (int i = 0; i < 2000; ++i) {
    const auto x = hat->sample_with_rng(cauchy, rng);
    if (!x) {
      EXPECT_EQ(x.error(), SampleError::tdr_sample_failed());
      ++failures;
    } else {
      EXPECT_LE(std::log(cauchy.f(*x)) - hat->hat_log(*x), kTdrHatViolation);
    }
  }
  EXPECT_GT(failures, 0);
}

// Hats built with the numerical derivative fall short of a smooth
// log-concave density only by rounding, far below the violation threshold.
TEST(TdrHat, ValidHatsNeverTripTheViolationCheck) {
  const TestPdf logistic{[](double x) {
                           const double e = std::exp(-x);
                           return e / ((1.0 + e) * (1.0 + e));
                         },
                         -10.0, 10.0, {}};
  const TestPdf normal = normal_on(-5.0, 5.0);
  for (const TestPdf* pdf : {&logistic, &normal}) {
    for (const std::uint64_t points : {4u, 30u, 200u}) {
      const auto hat = build(*pdf, options(pdf->a, pdf->b, TdrTransform::Log, points));
      ASSERT_TRUE(hat.has_value());
      Rng rng = seed_from_u64(points);
      for (int i = 0; i < 5000; ++i) {
        ASSERT_TRUE(hat->sample_with_rng(*pdf, rng).has_value());
      }
    }
  }
}

TEST(NumericalDpdf, StepIsRelativeWithAFloor) {
  struct Case {
    double hi;
    double rel_step;
    double step;
  };
  for (const auto [hi, rel_step, step] : {Case{1.0, 1e-4, 1e-4 * 1.0}, Case{1e-3, 1e-4, 1e-3 * 1e-4},
                                           Case{1e-5, 1e-4, kMinDpdfStep}, Case{1.0, kNaN, kMinDpdfStep},
                                           Case{1.0, -1.0, kMinDpdfStep}}) {
    const TestPdf pdf{[](double x) { return x; }, 0.0, hi, {}};
    const double x = hi / 2.0;
    (void)NumericalDpdf<const TestPdf&>(pdf, rel_step).dpdf(x);
    EXPECT_EQ(pdf.asked, (std::vector<double>{x + step, x - step})) << hi << " " << rel_step;
  }
}

TEST(NumericalDpdf, DifferenceFollowsWhichNeighboursFit) {
  const TestPdf pdf{[](double x) { return x * x; }, 0.0, 1.0, {}};
  const NumericalDpdf<const TestPdf&> dpdf(pdf, 1e-4);
  const double h = 1e-4;
  struct Case {
    double x;
    std::vector<double> asked;
    double value;
  };
  const double mid = 0.5;
  const double near_lo = h / 2.0;
  const double near_hi = 1.0 - h / 2.0;
  for (const auto& c :
       {Case{mid, {mid + h, mid - h}, ((mid + h) * (mid + h) - (mid - h) * (mid - h)) / (2.0 * h)},
        Case{near_lo, {near_lo + h, near_lo}, ((near_lo + h) * (near_lo + h) - near_lo * near_lo) / h},
        Case{near_hi, {near_hi, near_hi - h}, (near_hi * near_hi - (near_hi - h) * (near_hi - h)) / h}}) {
    pdf.asked.clear();
    EXPECT_EQ(dpdf.dpdf(c.x), c.value) << c.x;
    EXPECT_EQ(pdf.asked, c.asked) << c.x;
  }
}

TEST(NumericalDpdf, NonFiniteDensityOrNoRoomGivesNaN) {
  const TestPdf holes{[](double x) { return x > 0.5 ? kInf : 1.0; }, 0.0, 1.0, {}};
  EXPECT_TRUE(std::isnan(NumericalDpdf<const TestPdf&>(holes, 1e-4).dpdf(0.5)));
  EXPECT_FALSE(std::isnan(NumericalDpdf<const TestPdf&>(holes, 1e-4).dpdf(0.25)));

  // Narrower than 2^-26: no neighbour fits, every point is skipped.
  const double width = 1e-9;
  const TestPdf narrow{[](double) { return 1.0; }, 0.0, width, {}};
  const NumericalDpdf<const TestPdf&> dpdf(narrow, 1e-4);
  for (const double x : {0.0, width / 4.0, width / 2.0, width}) {
    EXPECT_TRUE(std::isnan(dpdf.dpdf(x)));
  }
  EXPECT_TRUE(narrow.asked.empty());
  EXPECT_EQ(TdrHat::try_build(narrow, dpdf, options(0.0, width, TdrTransform::Log)).error(),
            BuildError::tdr_build_failed());
}

}  // namespace
}  // namespace varlix
