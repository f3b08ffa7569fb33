// The continuous sampler: builder checks and their order, backend choice,
// quantiles per backend, seeded batches, and a fixed-seed goodness-of-fit test
// of every backend.
#include "continuous/sampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "random.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

using Fn = std::function<double(double)>;

// A user function whose calls are counted outside it, as a shared handle's.
struct Counted {
  Fn f;
  int* calls;
  double operator()(double x) const {
    ++*calls;
    return f(x);
  }
};

double normal_density(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * std::numbers::pi); }
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }
double gamma2_density(double x) { return x * std::exp(-x); }
double gamma2_cdf(double x) { return 1.0 - std::exp(-x) * (1.0 + x); }

SamplerOptions tdr_options(TdrTransform transform) {
  return {.method = SamplingMethod::Tdr{.transform = transform}};
}
SamplerOptions hermite_options(std::uint64_t grid_size) {
  return {.method = SamplingMethod::Inversion{grid_size}};
}

TEST(ContinuousSampler, DefaultsInvertTheUniformDensity) {
  const auto s = from_pdf(PlainPdf<Fn>([](double) { return 1.0; }, 0.0, 2.0), SamplerOptions{});
  ASSERT_TRUE(s.has_value());
  EXPECT_NEAR(s->model().norm(), 2.0, 1e-12);
  const auto* backend = std::get_if<SamplingBackend::Inversion>(&s->backend().kind);
  ASSERT_NE(backend, nullptr);
  EXPECT_FALSE(backend->table.has_value());
  EXPECT_TRUE(backend->use_newton);
  EXPECT_EQ(backend->max_iterations, 128u);
  EXPECT_EQ(backend->ppf_tolerance, 1e-12);
  EXPECT_FALSE(s->uses_tdr());
  EXPECT_FALSE(s->uses_hermite_table());
  EXPECT_NEAR(*s->ppf(0.5), 1.0, 1e-11);
}

TEST(ContinuousSampler, QuantileOutsideTheOpenUnitIntervalFails) {
  const auto s = from_pdf(PlainPdf<Fn>(normal_density, -5.0, 5.0), hermite_options(16));
  ASSERT_TRUE(s.has_value());
  for (const auto& [u, text] : {std::pair{0.0, "quantile u=0 not in (0, 1)"}, std::pair{1.0, "quantile u=1 not in (0, 1)"},
                                std::pair{kNaN, "quantile u=NaN not in (0, 1)"},
                                std::pair{-0.25, "quantile u=-0.25 not in (0, 1)"}}) {
    const auto q = s->ppf(u);
    ASSERT_FALSE(q.has_value());
    EXPECT_EQ(q.error().message(), text);
  }
}

struct BuildCase {
  const char* name;
  std::function<std::expected<void, BuildError>(int* calls)> build;
  std::string message;
  int calls;  // user-function calls made before the failure
};

template <class T>
std::expected<void, BuildError> status(const std::expected<T, BuildError>& r) {
  if (!r) {
    return std::unexpected(r.error());
  }
  return {};
}

class BuilderChecks : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuilderChecks, FirstFailureInOrder) {
  const auto& c = GetParam();
  int calls = 0;
  const auto result = c.build(&calls);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().message(), c.message);
  if (c.calls >= 0) {
    EXPECT_EQ(calls, c.calls);
  }
}

const std::string kNonFinite = "non-finite value in support bounds";
const std::string kOrder = "invalid support interval: lo must be strictly less than hi";
const std::string kNormalize = "failed to normalize PDF on support";
const std::string kTdrBuild = "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)";
const std::string kMismatch = "invalid support interval: pdf/dpdf support must match opts.support";
const std::string kTdrNeedsPdf =
    "invalid support interval: TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)";

Counted constant(double value, int* calls) {
  return {[value](double) { return value; }, calls};
}

INSTANTIATE_TEST_SUITE_P(
    Builders, BuilderChecks,
    ::testing::Values(
        BuildCase{"PdfInfiniteEnd",
                  [](int* n) { return status(from_pdf(PlainPdf(constant(1.0, n), -kInf, 1.0), SamplerOptions{})); },
                  kNonFinite, 0},
        BuildCase{"PdfReversed",
                  [](int* n) { return status(from_pdf(PlainPdf(constant(1.0, n), 1.0, 0.0), SamplerOptions{})); },
                  kOrder, 0},
        BuildCase{"PdfNaN",
                  [](int* n) { return status(from_pdf(PlainPdf(constant(kNaN, n), 0.0, 1.0), SamplerOptions{})); },
                  kNormalize, -1},
        BuildCase{"PdfZero",
                  [](int* n) { return status(from_pdf(PlainPdf(constant(0.0, n), 0.0, 1.0), SamplerOptions{})); },
                  kNormalize, -1},
        BuildCase{"PdfNegative",
                  [](int* n) { return status(from_pdf(PlainPdf(constant(-1.0, n), 0.0, 1.0), SamplerOptions{})); },
                  kNormalize, -1},
        BuildCase{"TdrLogOnUniform",
                  [](int* n) {
                    return status(from_pdf(PlainPdf(constant(1.0, n), 0.0, 1.0), tdr_options(TdrTransform::Log)));
                  },
                  kTdrBuild, -1},
        BuildCase{"DpdfSupportMismatch",
                  [](int* n) {
                    return status(from_pdf_with_dpdf(PlainPdf<Fn>(normal_density, -5.0, 5.0),
                                                     PlainPdf(constant(0.0, n), -5.0, 6.0),
                                                     tdr_options(TdrTransform::Log)));
                  },
                  kMismatch, 0},
        BuildCase{"CdfNaNEnd",
                  [](int* n) { return status(from_cdf(constant(0.5, n), kNaN, 1.0, SamplerOptions{})); },
                  kNonFinite, 0},
        BuildCase{"CdfEqualEnds",
                  [](int* n) { return status(from_cdf(constant(0.5, n), 1.0, 1.0, SamplerOptions{})); }, kOrder,
                  0},
        BuildCase{"CdfConstant",
                  [](int* n) { return status(from_cdf(constant(0.5, n), 0.0, 1.0, tdr_options(TdrTransform::Log))); },
                  kNormalize, 2},
        BuildCase{"CdfWithTdr",
                  [](int* n) {
                    return status(from_cdf(Counted{[](double x) { return x; }, n}, 0.0, 1.0,
                                           tdr_options(TdrTransform::InvSqrt)));
                  },
                  kTdrNeedsPdf, 2},
        BuildCase{"HistogramInvalid",
                  [](int*) { return status(from_histogram({0.0, 0.0, 1.0}, {1.0, 1.0}, false, SamplerOptions{})); },
                  "invalid histogram edges or counts", 0},
        BuildCase{"HistogramEmpty",
                  [](int*) { return status(from_histogram({0.0, 1.0}, {0.0}, true, SamplerOptions{})); },
                  kNormalize, 0},
        BuildCase{"HistogramTdrLog",
                  [](int*) {
                    return status(from_histogram({0.0, 1.0}, {3.0}, false, tdr_options(TdrTransform::Log)));
                  },
                  kTdrBuild, 0}),
    [](const auto& instance) { return instance.param.name; });

TEST(ContinuousSampler, InversionNeverCallsTheDerivative) {
  int calls = 0;
  const auto s = from_pdf_with_dpdf(PlainPdf<Fn>(normal_density, -5.0, 5.0), PlainPdf(constant(0.0, &calls), 0.0, 9.0),
                                    SamplerOptions{});
  ASSERT_TRUE(s.has_value());
  Rng rng = seed_from_u64(1);
  ASSERT_TRUE(s->sample_n_with_rng(5, rng).has_value());
  EXPECT_EQ(calls, 0);
}

// The caller's derivative is divided by the normalizer, so that it matches
// the normalized density the hat is built from; with the exact derivative of
// the unnormalized density the hat equals the one from the numerical one.
TEST(ContinuousSampler, ExplicitDerivativeIsNormalized) {
  const auto unnormalized = [](double x) { return 3.0 * std::exp(-0.5 * x * x); };
  const auto derivative = [](double x) { return -3.0 * x * std::exp(-0.5 * x * x); };
  const auto exact = from_pdf_with_dpdf(PlainPdf<Fn>(unnormalized, -5.0, 5.0), PlainPdf<Fn>(derivative, -5.0, 5.0),
                                        tdr_options(TdrTransform::Log));
  ASSERT_TRUE(exact.has_value());
  const auto& hat = std::get_if<SamplingBackend::Tdr>(&exact->backend().kind)->hat;
  for (std::size_t i = 0; i < hat.xs().size(); ++i) {
    EXPECT_NEAR(hat.slopes()[i], -hat.xs()[i], 1e-12);
  }
}

TEST(ContinuousSampler, BackendFlags) {
  const PlainPdf<Fn> pdf(normal_density, -5.0, 5.0);
  EXPECT_TRUE(from_pdf(pdf, hermite_options(8))->uses_hermite_table());
  EXPECT_FALSE(from_pdf(pdf, hermite_options(8))->uses_tdr());
  for (const auto transform : {TdrTransform::Log, TdrTransform::InvSqrt}) {
    EXPECT_TRUE(from_pdf(pdf, tdr_options(transform))->uses_tdr());
    EXPECT_FALSE(from_pdf(pdf, tdr_options(transform))->uses_hermite_table());
  }
  const auto cdf = from_cdf(Fn(normal_cdf), -5.0, 5.0, hermite_options(0));
  ASSERT_TRUE(cdf.has_value());
  EXPECT_TRUE(cdf->uses_hermite_table());
  EXPECT_EQ(std::get_if<SamplingBackend::Inversion>(&cdf->backend().kind)->table->u_knots().size(), 4u);
}

TEST(ContinuousSampler, QuantilePerBackend) {
  const PlainPdf<Fn> pdf(gamma2_density, 0.0, 20.0);
  SamplerOptions loose{.method = {}, .ppf_tolerance = 1e-3, .max_iterations = 6};
  const auto newton = from_pdf(pdf, loose);
  loose.use_newton = false;
  const auto bisection = from_pdf(pdf, loose);
  const auto table = from_pdf(pdf, hermite_options(32));
  // TDR ignores the inversion options: 128 iterations, tolerance 1e-12.
  SamplerOptions tdr = tdr_options(TdrTransform::Log);
  tdr.ppf_tolerance = 1e-3;
  tdr.max_iterations = 6;
  tdr.use_newton = false;
  const auto rejection = from_pdf(pdf, tdr);
  ASSERT_TRUE(newton && bisection && table && rejection);
  const auto& model = newton->model();
  const PdfBridge bridge(model);
  for (const double u : {1e-9, 0.1, 0.5, 0.77, 0.999}) {
    EXPECT_EQ(newton->ppf(u), ppf_with_pdf(model, bridge, 6, 0.0, 20.0, u, 1e-3)) << u;
    EXPECT_EQ(bisection->ppf(u), ppf(model, 6, 0.0, 20.0, u, 1e-3)) << u;
    EXPECT_EQ(rejection->ppf(u), ppf_with_pdf(model, bridge, 128, 0.0, 20.0, u, 1e-12)) << u;
    const auto* backend = std::get_if<SamplingBackend::Inversion>(&table->backend().kind);
    EXPECT_EQ(table->ppf(u), backend->table->eval(u)) << u;
  }
  EXPECT_NE(bisection->ppf(0.3), rejection->ppf(0.3));
  // A model without a density always bisects.
  const auto cdf = from_cdf(Fn(gamma2_cdf), 0.0, 20.0, SamplerOptions{});
  EXPECT_EQ(cdf->ppf(0.3), ppf(cdf->model(), 128, 0.0, 20.0, 0.3, 1e-12));
}

std::vector<std::pair<std::string, SamplerOptions>> every_backend() {
  return {{"inversion", SamplerOptions{}},
          {"hermite", hermite_options(256)},
          {"tdr_log", tdr_options(TdrTransform::Log)},
          {"tdr_inv_sqrt", tdr_options(TdrTransform::InvSqrt)}};
}

TEST(ContinuousSampler, SeededBatchesRepeatAndExtend) {
  const PlainPdf<Fn> pdf(normal_density, -5.0, 5.0);
  for (const auto& [name, opts] : every_backend()) {
    const auto s = from_pdf(pdf, opts);
    ASSERT_TRUE(s.has_value()) << name;
    Rng a = seed_from_u64(7);
    Rng b = seed_from_u64(7);
    Rng c = seed_from_u64(7);
    const auto full = s->sample_n_with_rng(40, a);
    const auto prefix = s->sample_n_with_rng(15, b);
    ASSERT_TRUE(full && prefix) << name;
    EXPECT_TRUE(std::equal(prefix->begin(), prefix->end(), full->begin())) << name;
    for (const double x : *full) {
      EXPECT_EQ(s->sample_with_rng(c), x) << name;
    }
    EXPECT_EQ(a, c) << name;
  }
}

TEST(ContinuousSampler, InversionDrawIsTheQuantileOfOneUniform) {
  const auto s = from_pdf(PlainPdf<Fn>(gamma2_density, 0.0, 20.0), hermite_options(64));
  Rng rng = seed_from_u64(0);
  Rng replay = seed_from_u64(0);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(s->sample_with_rng(rng), s->ppf(standard_uniform(replay)));
  }
}

TEST(ContinuousSampler, BatchSizesAtTheExtremes) {
  const auto s = from_pdf(PlainPdf<Fn>(normal_density, -5.0, 5.0), hermite_options(16));
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->sample_n(0)->size(), 0u);
  EXPECT_EQ(s->sample_n(3)->size(), 3u);
  EXPECT_TRUE(s->sample().has_value());
  Rng rng = seed_from_u64(1);
  const Rng untouched = rng;
  for (const std::uint64_t n : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 62}) {
    EXPECT_EQ(s->sample_n_with_rng(n, rng).error(), SampleError::out_of_memory());
  }
  EXPECT_EQ(rng, untouched);
}

// A user CDF that starts failing after a while: the batch reports the first
// failure and nothing else.
TEST(ContinuousSampler, FailingDrawEndsTheBatch) {
  int calls = 0;
  const Counted cdf{[&calls](double x) { return calls > 300 ? kNaN : normal_cdf(x); }, &calls};
  const auto s = from_cdf(cdf, -5.0, 5.0, SamplerOptions{});
  ASSERT_TRUE(s.has_value());
  Rng rng = seed_from_u64(3);
  const auto batch = s->sample_n_with_rng(100, rng);
  ASSERT_FALSE(batch.has_value());
  EXPECT_EQ(batch.error(), SampleError::inversion_failed());
}

// Kolmogorov-Smirnov distance between the sample and the exact CDF.
double ks_distance(std::vector<double> xs, const Fn& cdf) {
  std::ranges::sort(xs);
  const double n = static_cast<double>(xs.size());
  double d = 0.0;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const double f = cdf(xs[i]);
    d = std::max({d, f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f});
  }
  return d;
}

struct Target {
  const char* name;
  Fn density;
  Fn cdf;  // of the density on [lo, hi], normalized there
  double lo;
  double hi;
};

// Every backend, on a symmetric and a skewed density, fixed seeds. With 2000
// draws the KS distance exceeds 1.95 / sqrt(n) with probability 0.001 under
// the right law; the same draws shifted by a quarter (a quarter of a standard
// deviation or less) exceed it, so the test can tell a wrong law.
TEST(ContinuousSampler, EveryBackendFollowsItsTarget) {
  constexpr std::size_t kDraws = 2000;
  const double bound = 1.95 / std::sqrt(static_cast<double>(kDraws));
  const double normal_mass = normal_cdf(5.0) - normal_cdf(-5.0);
  const std::vector<Target> targets = {
      {"normal", normal_density, [=](double x) { return (normal_cdf(x) - normal_cdf(-5.0)) / normal_mass; }, -5.0,
       5.0},
      {"gamma2", gamma2_density, [](double x) { return gamma2_cdf(x) / gamma2_cdf(20.0); }, 0.0, 20.0}};
  for (const auto& target : targets) {
    for (const auto& [name, opts] : every_backend()) {
      const auto s = from_pdf(PlainPdf<Fn>(target.density, target.lo, target.hi), opts);
      ASSERT_TRUE(s.has_value()) << target.name << " " << name;
      Rng rng = seed_from_u64(2024);
      const auto draws = s->sample_n_with_rng(kDraws, rng);
      ASSERT_TRUE(draws.has_value()) << target.name << " " << name;
      EXPECT_LT(ks_distance(*draws, target.cdf), bound) << target.name << " " << name;
      std::vector<double> shifted = *draws;
      for (double& x : shifted) {
        x += 0.25;
      }
      EXPECT_GT(ks_distance(shifted, target.cdf), bound) << target.name << " " << name;
    }
  }
}

}  // namespace
}  // namespace varlix
