// Statistics over the five models: exact values at the bounds, closed-form
// moments, absent values and the errors with their texts.
#include "continuous/model.hpp"
#include "continuous/stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

// The quadrature tolerance 1e-10 bounds the error of each accepted interval,
// not of the total, and the normalizer carries its own error; a density with
// a jump (the histogram, which drops to 0 at its last edge) is resolved far
// less precisely.
constexpr double kSmooth = 1e-8;
constexpr double kJump = 1e-6;

using Fn = std::function<double(double)>;

double normal_density(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi); }
double logistic_cdf(double x) { return 1.0 / (1.0 + std::exp(-x)); }

models::FromPdf<Fn> from_density(Fn f, double lo, double hi) { return *from_pdf(PlainPdf<Fn>(f, lo, hi), {}); }
models::FromCdf<Fn> from_cdf_fn(Fn f, double lo, double hi) { return *from_cdf(f, lo, hi, {}); }
models::LocScalePdf<Fn> loc_scale(Fn f, double lo, double hi, double loc, double scale) {
  return *from_pdf(*LocScalePdf<Fn>::build(f, lo, hi, loc, scale), {});
}
models::TruncatedPdf<Fn> truncate(Fn f, double lo, double hi, double a, double b) {
  return *from_pdf(*Truncated<PlainPdf<Fn>>::build(PlainPdf<Fn>(f, lo, hi), a, b, 1e-10), {});
}

TEST(Stats, UniformOnZeroTwo) {
  const auto s = from_density([](double) { return 1.0; }, 0.0, 2.0);
  EXPECT_EQ(stats::cdf(s, 0.0), 0.0);
  EXPECT_EQ(stats::cdf(s, 2.0), 1.0);
  EXPECT_NEAR(stats::cdf(s, 0.5), 0.25, kSmooth);
  EXPECT_EQ(stats::logcdf(s, 0.0), -kInf);
  EXPECT_EQ(stats::logsf(s, 2.0), -kInf);
  EXPECT_EQ(stats::sf(s, 3.0), 0.0);
  EXPECT_EQ(stats::sf(s, -1.0), 1.0);
  EXPECT_NEAR(stats::logsf(s, 1.0), std::log(0.5), kSmooth);
  EXPECT_NEAR(*stats::pdf(s, 1.0), 0.5, kSmooth);
  EXPECT_NEAR(*stats::logpdf(s, 1.0), std::log(0.5), kSmooth);
  EXPECT_NEAR(*stats::mean(s), 1.0, kSmooth);
  EXPECT_NEAR(*stats::var(s), 1.0 / 3.0, kSmooth);
  EXPECT_NEAR(*stats::std(s), std::sqrt(1.0 / 3.0), kSmooth);
  EXPECT_NEAR(*stats::entropy(s), std::numbers::ln2, kSmooth);
  EXPECT_NEAR(*stats::expect(s, [](double) { return 1.0; }), 1.0, kSmooth);
  EXPECT_NEAR(*stats::median(s), 1.0, 1e-11);
}

TEST(Stats, PlainDensityAnswersOutsideItsSupport) {
  const auto s = from_density(normal_density, -5.0, 5.0);
  EXPECT_EQ(*stats::pdf(s, 10.0), normal_density(10.0) / s.model().norm());
  EXPECT_GT(*stats::pdf(s, 10.0), 0.0);
}

TEST(Stats, DerivedDensitiesVanishOutsideTheirSupport) {
  const auto shifted = loc_scale(normal_density, -5.0, 5.0, 3.0, 2.0);
  EXPECT_EQ(shifted.lo(), -7.0);
  EXPECT_EQ(shifted.hi(), 13.0);
  const auto cut = truncate(normal_density, -5.0, 5.0, 0.0, 1.0);
  for (const double x : {-8.0, 14.0}) {
    EXPECT_EQ(stats::pdf(shifted, x), 0.0);
    EXPECT_FALSE(stats::logpdf(shifted, x).has_value());
  }
  for (const double x : {-0.5, 1.5}) {
    EXPECT_EQ(stats::pdf(cut, x), 0.0);
    EXPECT_FALSE(stats::logpdf(cut, x).has_value());
  }
  EXPECT_EQ(stats::logcdf(cut, -0.5), -kInf);
  EXPECT_NEAR(*stats::mean(shifted), 3.0, kSmooth);
  EXPECT_NEAR(*stats::var(shifted), 4.0 * (1.0 - 10.0 * normal_density(5.0) / (std::erf(5.0 / std::numbers::sqrt2))),
              kSmooth);
  // Mean of the standard normal truncated to [0, 1].
  const double mass = 0.5 * std::erf(1.0 / std::numbers::sqrt2);
  EXPECT_NEAR(*stats::mean(cut), (normal_density(0.0) - normal_density(1.0)) / mass, kSmooth);
}

TEST(Stats, CdfModelHasNoDensity) {
  int calls = 0;
  const auto s = from_cdf_fn(logistic_cdf, -1.0, 1.0);
  for (const double x : {-2.0, 0.0, 0.5}) {
    EXPECT_FALSE(stats::pdf(s, x).has_value());
    EXPECT_FALSE(stats::logpdf(s, x).has_value());
  }
  const std::string required = "operation requires an underlying PDF";
  EXPECT_EQ(stats::mean(s).error().message(), required);
  EXPECT_EQ(stats::var(s).error().message(), required);
  EXPECT_EQ(stats::std(s).error().message(), required);
  EXPECT_EQ(stats::expect(s,
                          [&calls](double) {
                            ++calls;
                            return 1.0;
                          })
                .error()
                .message(),
            required);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(stats::entropy(s), 0.0);
  // The rescaled user CDF is not clamped: above 1 beyond hi, below 0 before lo.
  EXPECT_EQ(stats::cdf(s, 1.0), 1.0);
  EXPECT_GT(stats::cdf(s, 2.0), 1.0);
  EXPECT_EQ(stats::sf(s, 2.0), 0.0);
  EXPECT_EQ(stats::logcdf(s, 2.0), 0.0);
  EXPECT_EQ(stats::logsf(s, 2.0), -kInf);
  EXPECT_LT(stats::cdf(s, -2.0), 0.0);
  EXPECT_GT(stats::sf(s, -2.0), 1.0);
  EXPECT_EQ(stats::logcdf(s, -2.0), -kInf);
}

TEST(Stats, NaNArgumentsNeedNoIntegration) {
  int calls = 0;
  const auto s = from_density(
      [&calls](double) {
        ++calls;
        return 1.0;
      },
      0.0, 1.0);
  calls = 0;
  EXPECT_TRUE(std::isnan(stats::cdf(s, kNaN)));
  EXPECT_EQ(stats::sf(s, kNaN), 0.0);
  EXPECT_TRUE(std::isnan(stats::logcdf(s, kNaN)));
  EXPECT_TRUE(std::isnan(stats::logsf(s, kNaN)));
  EXPECT_EQ(calls, 0);
}

struct QuantileErrorCase {
  const char* name;
  std::function<std::string(const models::FromPdf<Fn>&)> call;
  std::string message;
};

class QuantileErrors : public ::testing::TestWithParam<QuantileErrorCase> {};

template <class T>
std::string error_text(const std::expected<T, SampleError>& r) {
  return r ? std::string("no error") : r.error().message();
}

TEST_P(QuantileErrors, ReportTheValueActuallyRequested) {
  const auto s = from_density(normal_density, -5.0, 5.0);
  EXPECT_EQ(GetParam().call(s), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuantileErrors,
    ::testing::Values(
        QuantileErrorCase{"IsfZero", [](const auto& s) { return error_text(stats::isf(s, 0.0)); },
                          "quantile u=1 not in (0, 1)"},
        QuantileErrorCase{"IsfBelowSpacing", [](const auto& s) { return error_text(stats::isf(s, 1e-17)); },
                          "quantile u=1 not in (0, 1)"},
        QuantileErrorCase{"IsfAboveOne", [](const auto& s) { return error_text(stats::isf(s, 1.5)); },
                          "quantile u=-0.5 not in (0, 1)"},
        QuantileErrorCase{"IntervalOne", [](const auto& s) { return error_text(stats::interval(s, 1.0)); },
                          "confidence 1 must be in (0, 1)"},
        QuantileErrorCase{"IntervalZero", [](const auto& s) { return error_text(stats::interval(s, 0.0)); },
                          "confidence 0 must be in (0, 1)"},
        QuantileErrorCase{"IntervalNaN", [](const auto& s) { return error_text(stats::interval(s, kNaN)); },
                          "confidence NaN must be in (0, 1)"},
        QuantileErrorCase{"IntervalAbove", [](const auto& s) { return error_text(stats::interval(s, 1.5)); },
                          "confidence 1.5 must be in (0, 1)"}),
    [](const auto& instance) { return instance.param.name; });

TEST(Stats, IntervalIsAPairOfQuantiles) {
  const auto s = from_density(normal_density, -5.0, 5.0);
  const auto ci = stats::interval(s, 0.95);
  ASSERT_TRUE(ci.has_value());
  EXPECT_EQ(ci->first, *s.ppf(0.025));
  EXPECT_EQ(ci->second, *s.ppf(0.975));
  // The 0.975 quantile of the untruncated normal, moved by the tails beyond 5.
  EXPECT_NEAR(ci->second, 1.959963984540054, 1e-5);
  const auto tiny = stats::interval(s, 1e-300);
  EXPECT_EQ(tiny->first, *s.ppf(0.5));
  EXPECT_EQ(tiny->second, *s.ppf(0.5));
  EXPECT_EQ(stats::isf(s, 0.25), s.ppf(0.75));
}

// The integrands do not clip: a density negative on part of its support
// still has moments, and a negative variance is reported as 0.
TEST(Stats, NegativeVarianceIsReportedAsZero) {
  const auto s = from_density([](double x) { return x; }, -1.0, 2.0);
  EXPECT_NEAR(s.model().norm(), 1.5, kSmooth);
  EXPECT_NEAR(*stats::mean(s), 2.0, kSmooth);
  EXPECT_EQ(stats::var(s), 0.0);
  EXPECT_EQ(stats::std(s), 0.0);
  EXPECT_FALSE(stats::logpdf(s, -0.5).has_value());
}

TEST(Stats, NonFiniteIntegralsFail) {
  bool broken = false;
  const auto s = from_density([&broken](double x) { return broken ? kNaN : std::exp(-x); }, 0.0, 1.0);
  const std::string failed = "numerical integration failed";
  EXPECT_EQ(stats::expect(s, [](double) { return kNaN; }).error().message(), failed);
  EXPECT_EQ(stats::expect(s, [](double x) { return 1.0 / (x - 0.5); }).error().message(), failed);
  broken = true;
  EXPECT_EQ(stats::mean(s).error().message(), failed);
  EXPECT_EQ(stats::var(s).error().message(), failed);
  EXPECT_EQ(stats::std(s).error().message(), failed);
  // A NaN density contributes nothing to the entropy.
  EXPECT_EQ(stats::entropy(s), 0.0);
}

TEST(Stats, ExpectEvaluatesTheDensityBeforeTheFunction) {
  std::vector<char> order;
  const auto s = from_density(
      [&order](double) {
        order.push_back('p');
        return 1.0;
      },
      0.0, 1.0);
  order.clear();
  const auto value = stats::expect(s, [&order](double x) {
    order.push_back('g');
    return x * x * x;
  });
  EXPECT_NEAR(*value, 0.25, kSmooth);
  ASSERT_EQ(order.size() % 2, 0u);
  for (std::size_t i = 0; i < order.size(); i += 2) {
    EXPECT_EQ(order[i], 'p');
    EXPECT_EQ(order[i + 1], 'g');
  }
}

TEST(Stats, HistogramMoments) {
  const auto s = *from_histogram({0.0, 1.0, 3.0}, {1.0, 1.0}, false, {});
  EXPECT_NEAR(*stats::mean(s), 1.25, kJump);
  // E[X^2] = 0.5 / 3 + 0.25 * 26 / 3.
  EXPECT_NEAR(*stats::var(s), 0.5 / 3.0 + 0.25 * 26.0 / 3.0 - 1.25 * 1.25, kJump);
  EXPECT_NEAR(*stats::entropy(s), -(0.5 * std::log(0.5) + 0.5 * std::log(0.25)), kJump);
}

// Every model fits the variant and answers through one visitor.
TEST(Stats, ContinuousModelDispatch) {
  std::vector<ContinuousModel<Fn>> all;
  all.emplace_back(from_density([](double) { return 1.0; }, 0.0, 2.0));
  all.emplace_back(from_cdf_fn([](double x) { return x / 2.0; }, 0.0, 2.0));
  all.emplace_back(*from_histogram({0.0, 2.0}, {5.0}, false, {}));
  all.emplace_back(loc_scale([](double) { return 1.0; }, 0.0, 1.0, 0.0, 2.0));
  all.emplace_back(truncate([](double) { return 1.0; }, -1.0, 3.0, 0.0, 2.0));
  for (const auto& model : all) {
    const auto median = std::visit([](const auto& s) { return stats::median(s); }, model);
    EXPECT_NEAR(*median, 1.0, kJump) << model.index();
    const auto mean = std::visit([](const auto& s) { return stats::mean(s); }, model);
    if (model.index() == 1) {
      EXPECT_EQ(mean.error(), SampleError::pdf_required());
    } else {
      EXPECT_NEAR(*mean, 1.0, kJump) << model.index();
    }
    EXPECT_EQ(std::visit([](const auto& s) { return s.hi(); }, model), 2.0);
  }
}

}  // namespace
}  // namespace varlix
