#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "continuous/rou.hpp"
#include "continuous/srou.hpp"
#include "random.hpp"
#include "sample_checks.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;
using Fn = std::function<double(double)>;

const Fn kNormalPdf = [](double x) { return std::exp(-0.5 * x * x); };
const Fn kNormalCdf = [](double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); };
const double kNormalArea = std::sqrt(2.0 * std::numbers::pi);
// gamma(3) up to its constant 1/2: mode 2, F(2) = 1 - 5 e^-2.
const Fn kGammaPdf = [](double x) { return x < 0.0 ? 0.0 : x * x * std::exp(-x); };
const Fn kGammaCdf = [](double x) { return 1.0 - std::exp(-x) * (1.0 + x + 0.5 * x * x); };

struct SrouCase {
  std::string name;
  Fn pdf, cdf;
  SrouOptions options;
  // Expected trials: 4 without F(m), 2 with it; the rhombus holds a quarter
  // of the rectangle, so with it 2 * 3/4 = 1.5 trials call the density.
  double max_calls_per_draw;
};

class Srou : public ::testing::TestWithParam<SrouCase> {};

TEST_P(Srou, DrawsFollowTheDensityWithinTheTrialBudget) {
  const SrouCase& c = GetParam();
  long calls = 0;
  const auto counted = [&](double x) {
    ++calls;
    return c.pdf(x);
  };
  const auto sampler = build_srou(counted, c.options);
  ASSERT_TRUE(sampler.has_value());
  calls = 0;
  Rng rng = seed_from_u64(31);
  RngSource src(rng);
  std::vector<double> xs(40000);
  ASSERT_TRUE(sampler->sample(counted, src, xs).has_value());
  EXPECT_LT(sample_checks::ks_distance(xs, c.cdf), sample_checks::ks_limit(xs.size()));
  EXPECT_LT(static_cast<double>(calls) / static_cast<double>(xs.size()), c.max_calls_per_draw);
}

TEST_P(Srou, BatchEqualsOneByOneAndStoredSamplerDrawsTheSame) {
  const SrouCase& c = GetParam();
  const auto s = build_srou(c.pdf, c.options);
  ASSERT_TRUE(s.has_value());
  const auto loaded = SrouSampler::from_words(s->to_words());
  ASSERT_TRUE(loaded.has_value());
  Rng a = seed_from_u64(8), b = seed_from_u64(8);
  RngSource sa(a), sb(b);
  std::vector<double> batch(500);
  ASSERT_TRUE(s->sample(c.pdf, sa, batch).has_value());
  for (const double x : batch) EXPECT_EQ(x, *loaded->draw(c.pdf, sb));
}

INSTANTIATE_TEST_SUITE_P(
    Densities, Srou,
    ::testing::Values(
        SrouCase{"normal", kNormalPdf, kNormalCdf, {.mode = 0.0, .pdf_area = kNormalArea}, 4.2},
        SrouCase{"normal_area_bound", kNormalPdf, kNormalCdf, {.mode = 0.0, .pdf_area = 2.0 * kNormalArea}, 8.4},
        SrouCase{"normal_cdf", kNormalPdf, kNormalCdf, {.mode = 0.0, .pdf_area = kNormalArea, .cdf_at_mode = 0.5}, 2.1},
        SrouCase{"normal_squeeze", kNormalPdf, kNormalCdf,
                 {.mode = 0.0, .pdf_area = kNormalArea, .cdf_at_mode = 0.5, .use_squeeze = true}, 1.55},
        SrouCase{"gamma", kGammaPdf, kGammaCdf, {.mode = 2.0, .pdf_area = 2.0, .domain_lo = 0.0}, 4.2},
        SrouCase{"gamma_squeeze", kGammaPdf, kGammaCdf,
                 {.mode = 2.0, .pdf_area = 2.0, .domain_lo = 0.0, .cdf_at_mode = 1.0 - 5.0 * std::exp(-2.0),
                  .use_squeeze = true},
                 1.55}),
    [](const auto& instance) { return instance.param.name; });

// The rhombus squeeze lies inside the region {u^2 <= f(v/u + m)}: checked on
// its edges for T_{-1/2}-concave densities of several shapes, with the exact
// area and F(m) the squeeze relies on.
TEST(SrouSqueeze, RhombusLiesInsideTheRegion) {
  const Fn student3 = [](double x) { return std::pow(1.0 + x * x / 3.0, -2.0); };
  const Fn exponential = [](double x) { return x < 0.0 ? 0.0 : std::exp(-x); };
  const std::vector<std::pair<Fn, SrouOptions>> cases{
      {kNormalPdf, {.mode = 0.0, .pdf_area = kNormalArea, .cdf_at_mode = 0.5}},
      {kGammaPdf, {.mode = 2.0, .pdf_area = 2.0, .domain_lo = 0.0, .cdf_at_mode = 1.0 - 5.0 * std::exp(-2.0)}},
      {student3, {.mode = 0.0, .pdf_area = std::numbers::pi * std::sqrt(3.0) / 2.0, .cdf_at_mode = 0.5}},
      {exponential, {.mode = 0.0, .pdf_area = 1.0, .domain_lo = 0.0, .cdf_at_mode = 0.0}},
  };
  for (std::size_t k = 0; k < cases.size(); ++k) {
    const auto& [pdf, options] = cases[k];
    const auto s = build_srou(pdf, options);
    ASSERT_TRUE(s.has_value());
    const double um = s->umax();
    for (int i = 1; i < 400; ++i) {
      const double u = um * i / 400.0;
      const double reach = std::fmin(u, um - u) / um;
      for (const double v : {s->vmin() * reach, s->vmax() * reach}) {
        EXPECT_LE(u * u, pdf(v / u + s->mode()) * (1.0 + 1e-12)) << "case " << k << " u = " << u << " v = " << v;
      }
    }
  }
}

TEST(SrouErrors, SetupAndDraw) {
  struct ErrorCase {
    std::string what;
    Fn pdf;
    SrouOptions options;
    SetupError expected;
  };
  const std::vector<ErrorCase> cases{
      {"zero at mode", [](double) { return 0.0; }, {}, SetupError::no_mass()},
      {"negative at mode", [](double) { return -1.0; }, {}, SetupError::bad_value(0.0, -1.0)},
      {"infinite at mode", [](double) { return kInf; }, {.mode = 1.0}, SetupError::bad_value(1.0, kInf)},
      {"zero area", kNormalPdf, {.pdf_area = 0.0}, SetupError::no_mass()},
      {"infinite area", kNormalPdf, {.pdf_area = kInf}, SetupError::divergent()},
      {"mode outside", kNormalPdf, {.mode = -1.0, .domain_lo = 0.0}, SetupError::no_mass()},
      {"cdf above 1", kNormalPdf, {.cdf_at_mode = 1.5}, SetupError::bad_value(0.0, 1.5)},
  };
  for (const auto& c : cases) {
    const auto built = build_srou(c.pdf, c.options);
    ASSERT_FALSE(built.has_value()) << c.what;
    EXPECT_EQ(built.error(), c.expected) << c.what;
  }
  const auto nan = build_srou([](double) { return kNaN; }, {});
  ASSERT_FALSE(nan.has_value());
  EXPECT_EQ(nan.error().kind(), SetupError::Kind::BadValue);

  const auto s = build_srou(kNormalPdf, {.pdf_area = kNormalArea});
  ASSERT_TRUE(s.has_value());
  Rng rng = seed_from_u64(2);
  RngSource src(rng);
  const auto failed = s->draw([](double x) { return x > 0.1 ? kNaN : 1.0; }, src);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind(), SetupError::Kind::BadValue);
  EXPECT_GT(failed.error().x(), 0.1);
  const auto empty = s->draw([](double) { return 0.0; }, src);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error(), SetupError::no_mass());
}

TEST(SrouErrors, CorruptedWordsRefused) {
  const auto s = build_srou(kNormalPdf, {.pdf_area = kNormalArea, .cdf_at_mode = 0.5});
  ASSERT_TRUE(s.has_value());
  const std::vector<double> good = s->to_words();
  // Layout: tag, version, mode, lo, hi, umax, vmin, vmax, squeeze.
  std::vector<std::vector<double>> bad;
  const auto with = [&](std::size_t i, double v) {
    auto w = good;
    w[i] = v;
    bad.push_back(w);
  };
  with(0, 1.0);
  with(2, kNaN);
  with(3, 1.0);   // mode below the domain
  with(5, 0.0);
  with(6, 0.5);   // vmin above 0
  with(7, -0.5);
  with(8, 0.5);
  bad.push_back(std::vector<double>(good.begin(), good.end() - 1));
  for (std::size_t i = 0; i < bad.size(); ++i) {
    const auto r = SrouSampler::from_words(bad[i]);
    ASSERT_FALSE(r.has_value()) << "case " << i;
    EXPECT_EQ(r.error(), SetupError::bad_table());
  }
}

// The normal and the exponential with their closed-form rectangles.
TEST(Rou, DrawsFollowTheDensity) {
  const double v = std::sqrt(kNormalPdf(std::numbers::sqrt2)) * std::numbers::sqrt2;
  const RouSampler normal{.umax = 1.0, .vmin = -v, .vmax = v};
  const RouSampler exponential{.umax = 1.0, .vmin = 0.0, .vmax = 2.0 * std::exp(-1.0)};
  const RouSampler shifted{.umax = 1.0, .vmin = -v, .vmax = v, .c = 3.0};
  const Fn expon = [](double x) { return x < 0.0 ? 0.0 : std::exp(-x); };
  const Fn shifted_pdf = [](double x) { return std::exp(-0.5 * (x - 3.0) * (x - 3.0)); };
  struct RouCase {
    const RouSampler* sampler;
    Fn pdf, cdf;
  };
  const std::vector<RouCase> cases{
      {&normal, kNormalPdf, kNormalCdf},
      {&exponential, expon, [](double x) { return -std::expm1(-x); }},
      {&shifted, shifted_pdf, [](double x) { return kNormalCdf(x - 3.0); }},
  };
  for (const auto& c : cases) {
    Rng rng = seed_from_u64(13);
    RngSource src(rng);
    std::vector<double> xs(40000);
    ASSERT_TRUE(c.sampler->sample(c.pdf, src, xs).has_value());
    EXPECT_LT(sample_checks::ks_distance(xs, c.cdf), sample_checks::ks_limit(xs.size()));
  }
}

// sample() uses its uniforms in rounds: all u's of the missing draws, then
// all v's, the accepted kept in order. The reference below spends a stream
// that way with plain vectors.
TEST(Rou, SampleUsesUniformsInRounds) {
  const RouSampler sampler{.umax = 1.0, .vmin = -0.9, .vmax = 0.9, .c = 0.5};
  const Fn pdf = [](double x) { return std::exp(-0.5 * (x - 0.5) * (x - 0.5)); };
  for (const std::size_t n : {1U, 7U, 1000U}) {
    Rng rng = seed_from_u64(21);
    RngSource src(rng);
    std::vector<double> xs(n);
    ASSERT_TRUE(sampler.sample(pdf, src, xs).has_value());
    Rng ref_rng = seed_from_u64(21);
    std::vector<double> expected;
    while (expected.size() < n) {
      const std::size_t need = n - expected.size();
      std::vector<double> us(need);
      for (double& u : us) u = standard_uniform(ref_rng);
      for (const double u : us) {
        const double v = -0.9 + 1.8 * standard_uniform(ref_rng);
        if (u > 0.0 && u * u <= pdf(v / u + 0.5)) expected.push_back(v / u + 0.5);
      }
    }
    EXPECT_EQ(xs, expected) << "n = " << n;
  }
}

TEST(Rou, FailuresEndTheDraw) {
  const RouSampler sampler{.umax = 1.0, .vmin = -1.0, .vmax = 1.0};
  Rng rng = seed_from_u64(4);
  RngSource src(rng);
  const auto zero = sampler.draw([](double) { return 0.0; }, src);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error(), SetupError::no_mass());
  const auto nan = sampler.draw([](double) { return kNaN; }, src);
  ASSERT_FALSE(nan.has_value());
  EXPECT_EQ(nan.error().kind(), SetupError::Kind::BadValue);
  std::vector<double> out(3, 7.0);
  EXPECT_FALSE(sampler.sample([](double) { return -1.0; }, src, out).has_value());
}

}  // namespace
}  // namespace varlix
