// Numerical inversion: known quantiles, call counts, the argument and span
// errors, NaN propagation, and the Newton polish.
#include "continuous/invert.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "continuous/cdf.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

constexpr std::uint32_t kIterations = 128;
constexpr double kPpfTol = 1e-12;

using Fn = double (*)(double);

// A closed-form CDF and density, counting CDF calls inside the support.
struct ClosedForm {
  Fn f;
  Fn density;
  double lo;
  double hi;
  mutable int interior_cdf_calls = 0;
  double cdf(double x) const {
    interior_cdf_calls += (lo < x && x < hi) ? 1 : 0;
    return f(x);
  }
  double pdf(double x) const { return density(x); }
};

ClosedForm square_on_unit() {
  return {[](double x) { return x * x; }, [](double x) { return 2.0 * x; }, 0.0, 1.0};
}

TEST(Ppf, UniformMedianAfterOneInteriorEvaluation) {
  using Model = IntegratedPdf<PlainPdf<Fn>>;
  const auto model = Model::build(PlainPdf<Fn>([](double) { return 1.0; }, 0.0, 1.0), 0.0, 1.0, 1e-10);
  ASSERT_TRUE(model);
  struct Counted {
    const Model& m;
    mutable int calls = 0;
    double cdf(double x) const {
      ++calls;
      return m.cdf(x);
    }
  } counted{*model};
  EXPECT_EQ(ppf(counted, kIterations, 0.0, 1.0, 0.5, kPpfTol), 0.5);
  EXPECT_EQ(counted.calls, 3);  // both bounds, then the first midpoint
}

TEST(Ppf, ZeroIterationsGiveTheMidpoint) {
  for (const double p : {1e-9, 0.25, 0.5, 0.999}) {
    auto cdf = square_on_unit();
    EXPECT_EQ(ppf(cdf, 0, -2.0, 6.0, p, kPpfTol), 2.0);
    EXPECT_EQ(cdf.interior_cdf_calls, 0);
  }
}

TEST(Ppf, KnownQuantilesMeetTheTolerance) {
  const auto cdf = square_on_unit();
  for (double p = 0.01; p < 1.0; p += 0.01) {
    const auto x = ppf(cdf, kIterations, 0.0, 1.0, p, kPpfTol);
    ASSERT_TRUE(x);
    EXPECT_LE(std::abs(*x * *x - p), kPpfTol) << p;
    EXPECT_NEAR(*x, std::sqrt(p), 1e-11) << p;
  }
}

// The target is F(lo) + p * span, so an unnormalized CDF inverts the same.
TEST(Ppf, TargetIsAffineInTheBoundValues) {
  const ClosedForm shifted{[](double x) { return 3.0 + 2.0 * x; }, [](double) { return 2.0; }, 1.0, 2.0};
  EXPECT_NEAR(*ppf(shifted, kIterations, 1.0, 2.0, 0.3, kPpfTol), 1.3, 1e-12);
}

// With the density 0 on [0.3, 0.7] the CDF is flat at 0.3 there; the first
// midpoint lands in the stretch and meets the target.
TEST(Ppf, FlatStretchReturnsFirstMidpointInside) {
  const ClosedForm flat{[](double x) { return x <= 0.3 ? x : (x < 0.7 ? 0.3 : x - 0.4); },
                        [](double x) { return (x > 0.3 && x < 0.7) ? 0.0 : 1.0; }, 0.0, 1.0};
  EXPECT_EQ(*ppf(flat, kIterations, 0.0, 1.0, 0.5, kPpfTol), 0.5);
  // With no bisection the polish starts at 0.5, where the density vanishes.
  EXPECT_EQ(*ppf_with_pdf(flat, flat, 0, 0.0, 1.0, 0.25, kPpfTol), 0.5);
}

struct RangeCase {
  double p;
  const char* text;
};

class QuantileRange : public testing::TestWithParam<RangeCase> {};

TEST_P(QuantileRange, RefusedBeforeAnyCdfCall) {
  const auto& [p, text] = GetParam();
  auto cdf = square_on_unit();
  const auto plain = ppf(cdf, kIterations, 0.0, 1.0, p, kPpfTol);
  const auto polished = ppf_with_pdf(cdf, cdf, kIterations, 0.0, 1.0, p, kPpfTol);
  ASSERT_FALSE(plain);
  ASSERT_FALSE(polished);
  EXPECT_EQ(plain.error(), SampleError::quantile_out_of_range(p));
  EXPECT_EQ(plain.error().message(), text);
  EXPECT_EQ(polished.error(), plain.error());
  EXPECT_EQ(cdf.interior_cdf_calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuantileRange,
                         testing::Values(RangeCase{0.0, "quantile u=0 not in (0, 1)"},
                                         RangeCase{1.0, "quantile u=1 not in (0, 1)"},
                                         RangeCase{-0.25, "quantile u=-0.25 not in (0, 1)"},
                                         RangeCase{kInf, "quantile u=inf not in (0, 1)"},
                                         RangeCase{kNaN, "quantile u=NaN not in (0, 1)"}));

TEST(Ppf, SpanMustBeFiniteAndPositive) {
  const ClosedForm cases[] = {
      {[](double) { return 0.5; }, [](double) { return 0.0; }, 0.0, 1.0},
      {[](double x) { return -x; }, [](double) { return -1.0; }, 0.0, 1.0},
      {[](double) { return kNaN; }, [](double) { return kNaN; }, 0.0, 1.0},
      {[](double x) { return x < 1.0 ? 0.0 : kInf; }, [](double) { return 0.0; }, 0.0, 1.0},
  };
  for (const auto& cdf : cases) {
    EXPECT_EQ(ppf(cdf, kIterations, 0.0, 1.0, 0.5, kPpfTol).error(), SampleError::inversion_failed());
    EXPECT_EQ(ppf_with_pdf(cdf, cdf, kIterations, 0.0, 1.0, 0.5, kPpfTol).error(), SampleError::inversion_failed());
    EXPECT_EQ(SampleError::inversion_failed().message(), "failed to invert CDF");
  }
}

// NaN values inside the support count as above the target: bisection closes
// in on the last point below it.
TEST(Ppf, NanCdfValuesMoveTheUpperEnd) {
  const ClosedForm holed{[](double x) { return (x > 0.5 && x < 1.0) ? kNaN : x; }, [](double) { return 1.0; }, 0.0,
                         1.0};
  const auto x = ppf(holed, kIterations, 0.0, 1.0, 0.7, kPpfTol);
  ASSERT_TRUE(x);
  EXPECT_NEAR(*x, 0.5, 1e-15);
  EXPECT_GE(*x, 0.5);
}

TEST(PpfWithPdf, PolishFinishesWhatBisectionLeft) {
  const auto cdf = square_on_unit();
  const double p = 0.3;
  const double rough = *ppf(cdf, 4, 0.0, 1.0, p, kPpfTol);
  EXPECT_GT(std::abs(rough - std::sqrt(p)), 1e-3);
  const double polished = *ppf_with_pdf(cdf, cdf, 4, 0.0, 1.0, p, kPpfTol);
  EXPECT_NEAR(polished, std::sqrt(p), 1e-12);
}

// When bisection meets the tolerance the polish only confirms it: one more
// CDF value at the same point, and the density is never asked.
TEST(PpfWithPdf, MetToleranceCostsOneConfirmation) {
  ClosedForm uniform{[](double x) { return x; }, [](double) { return kNaN; }, 0.0, 1.0};
  EXPECT_EQ(*ppf_with_pdf(uniform, uniform, kIterations, 0.0, 1.0, 0.5, kPpfTol), 0.5);
  EXPECT_EQ(uniform.interior_cdf_calls, 2);
}

// Newton steps that would leave the support are clamped onto it; with finite
// values the answer stays inside whatever the iteration cap.
TEST(PpfWithPdf, IteratesStayInsideTheSupport) {
  const ClosedForm steep{[](double x) { return std::pow(x, 8.0); }, [](double x) { return 8.0 * std::pow(x, 7.0); },
                         0.0, 1.0};
  for (const std::uint32_t n : {0u, 1u, 2u, 5u}) {
    for (const double p : {1e-6, 0.01, 0.5, 0.999999}) {
      const double x = *ppf_with_pdf(steep, steep, n, 0.0, 1.0, p, kPpfTol);
      EXPECT_GE(x, 0.0);
      EXPECT_LE(x, 1.0);
    }
  }
}

TEST(PpfWithPdf, NewtonIsCappedAtEightUpdates) {
  // A density ten times too small makes every step a tenth of the needed one.
  ClosedForm sluggish{[](double x) { return x; }, [](double) { return 10.0; }, 0.0, 1.0};
  const double x = *ppf_with_pdf(sluggish, sluggish, 0, 0.0, 1.0, 0.3, kPpfTol);
  EXPECT_EQ(sluggish.interior_cdf_calls, 8);
  EXPECT_NEAR(x, 0.3 + 0.2 * std::pow(0.9, 8.0), 1e-12);
}

// A user density that starts failing after construction: every CDF value
// inside the support is NaN, so the polish steps to NaN and asks the model
// for cdf(NaN), which must come back (as NaN) for the call to end.
TEST(PpfWithPdf, FailingUserFunctionEndsInNan) {
  static bool failing = false;
  failing = false;
  const auto model = IntegratedPdf<PlainPdf<Fn>>::build(
      PlainPdf<Fn>([](double) { return failing ? kNaN : 1.0; }, 0.0, 1.0), 0.0, 1.0, 1e-10);
  ASSERT_TRUE(model);
  failing = true;
  const auto density = [&model](double x) { return model->pdf().pdf(x) / model->norm(); };
  struct Normalized {
    decltype(density)& f;
    double pdf(double x) const { return f(x); }
  };
  const auto x = ppf_with_pdf(*model, Normalized{density}, kIterations, 0.0, 1.0, 0.4, kPpfTol);
  ASSERT_TRUE(x);
  EXPECT_TRUE(std::isnan(*x));
}

}  // namespace
}  // namespace varlix
