// CDF models, density adaptors and truncation: exact values at the bounds,
// closed forms, and the construction errors with their order and texts.
#include "continuous/cdf.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "continuous/truncated.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

constexpr double kTol = 1e-10;

using Fn = double (*)(double);

// A callable that counts its calls, as the binding's shared handle would be
// copied around: the count lives outside.
struct CountingFn {
  Fn f;
  int* calls;
  double operator()(double x) const {
    ++*calls;
    return f(x);
  }
};

const std::string kNonFiniteText = "non-finite value in support bounds";
const std::string kOrderText = "invalid support interval: lo must be strictly less than hi";
const std::string kNormalizeText = "failed to normalize PDF on support";

std::optional<std::string> error_text(const std::expected<void, BuildError>& r) {
  return r ? std::nullopt : std::optional(r.error().message());
}

struct SupportCase {
  double lo;
  double hi;
  std::optional<std::string> text;
};

class SupportChecks : public testing::TestWithParam<SupportCase> {};

TEST_P(SupportChecks, FiniteBeforeOrdered) {
  const auto& [lo, hi, text] = GetParam();
  EXPECT_EQ(error_text(check_support(lo, hi)), text);
}

INSTANTIATE_TEST_SUITE_P(Cases, SupportChecks,
                         testing::Values(SupportCase{0.0, 1.0, std::nullopt}, SupportCase{-1e300, 1e300, std::nullopt},
                                         SupportCase{-kInf, 1.0, kNonFiniteText},
                                         SupportCase{0.0, kInf, kNonFiniteText},
                                         SupportCase{kNaN, 1.0, kNonFiniteText},
                                         SupportCase{2.0, kNaN, kNonFiniteText},
                                         SupportCase{kInf, -kInf, kNonFiniteText},
                                         SupportCase{1.0, 1.0, kOrderText}, SupportCase{2.0, 1.0, kOrderText}));

TEST(CheckNormalizer, FiniteAndStrictlyPositiveOnly) {
  for (const double ok : {1.0, std::numeric_limits<double>::denorm_min(), 1e300}) {
    EXPECT_TRUE(check_normalizer(ok)) << ok;
  }
  for (const double bad : {0.0, -0.0, -1.0, kInf, -kInf, kNaN}) {
    EXPECT_EQ(error_text(check_normalizer(bad)), kNormalizeText) << bad;
  }
}

TEST(IntegratedPdf, ConstantTwoOnUnitInterval) {
  int calls = 0;
  const auto model = IntegratedPdf<PlainPdf<CountingFn>>::build(
      PlainPdf(CountingFn{[](double) { return 2.0; }, &calls}, 0.0, 1.0), 0.0, 1.0, kTol);
  ASSERT_TRUE(model);
  EXPECT_NEAR(model->norm(), 2.0, 1e-15);
  EXPECT_EQ(calls, 9);  // one examination
  EXPECT_NEAR(model->cdf(0.25), 0.25, 1e-15);
  EXPECT_EQ(calls, 18);
  EXPECT_EQ(model->tol(), kTol);
}

TEST(IntegratedPdf, BoundsAnswerExactlyWithoutIntegrating) {
  int calls = 0;
  const auto model = IntegratedPdf<PlainPdf<CountingFn>>::build(
      PlainPdf(CountingFn{[](double x) { return std::exp(x); }, &calls}, -1.0, 2.0), -1.0, 2.0, kTol);
  ASSERT_TRUE(model);
  calls = 0;
  EXPECT_EQ(model->cdf(-1.0), 0.0);
  EXPECT_EQ(model->cdf(-5.0), 0.0);
  EXPECT_EQ(model->cdf(2.0), 1.0);
  EXPECT_EQ(model->cdf(kInf), 1.0);
  EXPECT_EQ(calls, 0);
  // Just inside hi the quotient of two integrations, not a clamped 1.
  const double near_hi = model->cdf(std::nextafter(2.0, 0.0));
  EXPECT_NEAR(near_hi, 1.0, 1e-12);
  EXPECT_NEAR(model->cdf(0.5), (std::exp(0.5) - std::exp(-1.0)) / (std::exp(2.0) - std::exp(-1.0)), 1e-12);
}

TEST(IntegratedPdf, NanArgumentGivesNanPromptly) {
  int calls = 0;
  const auto model = IntegratedPdf<PlainPdf<CountingFn>>::build(
      PlainPdf(CountingFn{[](double x) { return 1.0 + x; }, &calls}, 0.0, 1.0), 0.0, 1.0, kTol);
  ASSERT_TRUE(model);
  calls = 0;
  EXPECT_TRUE(std::isnan(model->cdf(kNaN)));
  EXPECT_LE(calls, 9);
}

struct DensityErrorCase {
  Fn f;
  double lo;
  double hi;
  std::string text;
  bool evaluates;
};

class IntegratedPdfErrors : public testing::TestWithParam<DensityErrorCase> {};

TEST_P(IntegratedPdfErrors, ReportsFirstFailure) {
  const auto& c = GetParam();
  int calls = 0;
  const auto model = IntegratedPdf<PlainPdf<CountingFn>>::build(PlainPdf(CountingFn{c.f, &calls}, c.lo, c.hi),
                                                                c.lo, c.hi, kTol);
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error().message(), c.text);
  EXPECT_EQ(calls > 0, c.evaluates);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IntegratedPdfErrors,
    testing::Values(DensityErrorCase{[](double) { return 0.0; }, 0.0, 1.0, kNormalizeText, true},
                    DensityErrorCase{[](double) { return -1.0; }, 0.0, 1.0, kNormalizeText, true},
                    DensityErrorCase{[](double) { return kNaN; }, 0.0, 1.0, kNormalizeText, true},
                    DensityErrorCase{[](double) { return kNaN; }, 0.0, kInf, kNonFiniteText, false},
                    DensityErrorCase{[](double) { return 1.0; }, kNaN, 1.0, kNonFiniteText, false},
                    DensityErrorCase{[](double) { return 1.0; }, 1.0, 1.0, kOrderText, false}));

double logistic(double x) { return 1.0 / (1.0 + std::exp(-x)); }

TEST(AffineCdf, LogisticOnSymmetricInterval) {
  const auto model = AffineCdf<Fn>::build(logistic, -1.0, 1.0);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->cdf(-1.0), 0.0);
  EXPECT_EQ(model->cdf(1.0), 1.0);
  EXPECT_EQ(model->offset(), logistic(-1.0));
  EXPECT_EQ(model->span(), logistic(1.0) - logistic(-1.0));
  EXPECT_NEAR(model->cdf(0.0), 0.5, 1e-15);
  EXPECT_GT(model->cdf(2.0), 1.0);
  EXPECT_LT(model->cdf(-2.0), 0.0);
}

TEST(AffineCdf, Errors) {
  const Fn flat = [](double) { return 0.25; };
  const Fn decreasing = [](double x) { return -x; };
  const Fn failing = [](double) { return kNaN; };
  EXPECT_EQ(AffineCdf<Fn>::build(flat, 0.0, 1.0).error().message(), kNormalizeText);
  EXPECT_EQ(AffineCdf<Fn>::build(decreasing, 0.0, 1.0).error().message(), kNormalizeText);
  EXPECT_EQ(AffineCdf<Fn>::build(failing, 0.0, 1.0).error().message(), kNormalizeText);
  EXPECT_EQ(AffineCdf<Fn>::build(flat, -kInf, 1.0).error().message(), kNonFiniteText);
  EXPECT_EQ(AffineCdf<Fn>::build(flat, 1.0, 0.0).error().message(), kOrderText);
}

const std::string kScaleText = "scale must be finite and positive";

struct LocScaleCase {
  double lo;
  double hi;
  double loc;
  double scale;
  std::string text;
};

class LocScaleErrors : public testing::TestWithParam<LocScaleCase> {};

TEST_P(LocScaleErrors, ScaleThenStandardThenMappedSupport) {
  const auto& [lo, hi, loc, scale, text] = GetParam();
  const auto pdf = LocScalePdf<Fn>::build([](double) { return 1.0; }, lo, hi, loc, scale);
  ASSERT_FALSE(pdf);
  EXPECT_EQ(pdf.error().message(), text);
}

INSTANTIATE_TEST_SUITE_P(Cases, LocScaleErrors,
                         testing::Values(LocScaleCase{0.0, 1.0, 0.0, 0.0, kScaleText},
                                         LocScaleCase{0.0, 1.0, 0.0, -2.0, kScaleText},
                                         LocScaleCase{0.0, 1.0, 0.0, kInf, kScaleText},
                                         LocScaleCase{0.0, 1.0, 0.0, kNaN, kScaleText},
                                         LocScaleCase{kNaN, 1.0, 0.0, 0.0, kScaleText},
                                         LocScaleCase{0.0, kInf, 0.0, 1.0, kNonFiniteText},
                                         LocScaleCase{1.0, 0.0, 0.0, 1.0, kOrderText},
                                         // hi * scale overflows
                                         LocScaleCase{-1.0, 2.0, 0.0, 1e308, kNonFiniteText},
                                         LocScaleCase{0.0, 1.0, kNaN, 1.0, kNonFiniteText},
                                         // the mapped ends collapse onto loc
                                         LocScaleCase{0.0, 1e-300, 1.0, 1e-300, kOrderText}));

TEST(LocScalePdf, StandardFormMappedOntoItsSupport) {
  const auto pdf = LocScalePdf<Fn>::build([](double z) { return 1.0 + z; }, -1.0, 1.0, 3.0, 0.5);
  ASSERT_TRUE(pdf);
  EXPECT_EQ(pdf->lo(), 2.5);
  EXPECT_EQ(pdf->hi(), 3.5);
  EXPECT_EQ(pdf->pdf(3.25), (1.0 + 0.5) / 0.5);
  EXPECT_EQ(pdf->pdf(2.5), 0.0 / 0.5);   // z = -1, inside
  EXPECT_EQ(pdf->pdf(3.5), 2.0 / 0.5);   // z = 1, inside
  EXPECT_EQ(pdf->pdf(3.6), 0.0);
  EXPECT_EQ(pdf->pdf(kNaN), 0.0);
  const auto model = IntegratedPdf<LocScalePdf<Fn>>::build(*pdf, pdf->lo(), pdf->hi(), kTol);
  ASSERT_TRUE(model);
  EXPECT_NEAR(model->norm(), 2.0, 1e-14);  // the integral of 1 + z over [-1, 1]
}

// (1 + 2^-30)^2 = 1 + 2^-29 + 2^-60 rounds to 1 + 2^-29 before loc is added;
// a fused multiply-add would keep the 2^-60.
TEST(LocScalePdf, MappedEndIsRoundedProductThenSum) {
  const double v = 1.0 + 0x1p-30;
  const auto pdf = LocScalePdf<Fn>::build([](double) { return 1.0; }, v, 2.0, -(1.0 + 0x1p-29), v);
  ASSERT_TRUE(pdf);
  EXPECT_EQ(pdf->lo(), 0.0);
}

const std::string kOutsideText = "truncation interval must lie inside base support";

struct TruncationCase {
  double a;
  double b;
  std::optional<std::string> text;
};

class TruncationBuild : public testing::TestWithParam<TruncationCase> {};

// Base: the density 1 + x on [0, 2].
TEST_P(TruncationBuild, ChecksInOrder) {
  const auto& [a, b, text] = GetParam();
  const auto t = Truncated<PlainPdf<Fn>>::build(PlainPdf<Fn>([](double x) { return 1.0 + x; }, 0.0, 2.0), a, b, kTol);
  EXPECT_EQ(t ? std::nullopt : std::optional(t.error().message()), text);
}

INSTANTIATE_TEST_SUITE_P(Cases, TruncationBuild,
                         testing::Values(TruncationCase{0.0, 2.0, std::nullopt},
                                         TruncationCase{0.5, 1.0, std::nullopt},
                                         TruncationCase{std::nextafter(0.0, -1.0), 1.0, kOutsideText},
                                         TruncationCase{1.0, std::nextafter(2.0, 3.0), kOutsideText},
                                         TruncationCase{-5.0, 5.0, kOutsideText},
                                         TruncationCase{kNaN, 5.0, kNonFiniteText},
                                         TruncationCase{1.0, 0.5, kOrderText}));

TEST(Truncated, BaseSupportCheckedAfterTheInterval) {
  const Fn one = [](double) { return 1.0; };
  EXPECT_EQ(Truncated<PlainPdf<Fn>>::build(PlainPdf(one, 0.0, kInf), 2.0, 1.0, kTol).error().message(), kOrderText);
  EXPECT_EQ(Truncated<PlainPdf<Fn>>::build(PlainPdf(one, 0.0, kInf), 1.0, 2.0, kTol).error().message(),
            kNonFiniteText);
  EXPECT_EQ(Truncated<PlainPdf<Fn>>::build(PlainPdf(one, 3.0, 0.0), 1.0, 2.0, kTol).error().message(), kOrderText);
  const Fn zero_inside = [](double x) { return x < 1.0 ? 1.0 : 0.0; };
  EXPECT_EQ(Truncated<PlainPdf<Fn>>::build(PlainPdf(zero_inside, 0.0, 3.0), 1.0, 2.0, kTol).error().message(),
            kNormalizeText);
}

TEST(Truncated, RenormalizedInsideClosedInterval) {
  const auto t = Truncated<PlainPdf<Fn>>::build(PlainPdf<Fn>([](double x) { return 1.0 + x; }, 0.0, 2.0), 0.5, 1.5,
                                                kTol);
  ASSERT_TRUE(t);
  EXPECT_NEAR(t->mass(), 2.0, 1e-15);  // integral of 1 + x over [0.5, 1.5]
  EXPECT_EQ(t->lo(), 0.5);
  EXPECT_EQ(t->hi(), 1.5);
  EXPECT_EQ(t->pdf(0.5), 1.5 / t->mass());
  EXPECT_EQ(t->pdf(1.5), 2.5 / t->mass());
  EXPECT_EQ(t->pdf(0.25), 0.0);
  EXPECT_EQ(t->pdf(1.75), 0.0);
  const auto model = IntegratedPdf<Truncated<PlainPdf<Fn>>>::build(*t, t->lo(), t->hi(), kTol);
  ASSERT_TRUE(model);
  EXPECT_NEAR(model->norm(), 1.0, 1e-14);
  EXPECT_NEAR(model->cdf(1.0), (0.5 + (0.5 - 0.125)) / 2.0, 1e-14);
}

}  // namespace
}  // namespace varlix
