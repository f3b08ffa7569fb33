// Adaptive Gauss–Kronrod quadrature: exactness on polynomials, infinite
// ends, narrow peaks found through the partition, batching, the points f is
// called at, bad values and divergent integrals; and the moment integrals.
#include "continuous/gauss_kronrod.hpp"
#include "continuous/moment_integrals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

double normal_pdf(double x, double mu, double sigma) {
  const double z = (x - mu) / sigma;
  return std::exp(-0.5 * z * z) / (sigma * std::sqrt(2.0 * std::numbers::pi));
}

// A batch function that records its batches and every point asked for.
template <class Fn>
struct Batched {
  Fn fn;
  std::vector<std::size_t>* batches;
  std::vector<double>* points;
  double operator()(double x) const { return fn(x); }
  void eval_batch(std::span<const double> x, std::span<double> y) const {
    batches->push_back(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      points->push_back(x[i]);
      y[i] = fn(x[i]);
    }
  }
};

template <class Fn>
Batched<Fn> batched(Fn fn, std::vector<std::size_t>& batches, std::vector<double>& points) {
  return {fn, &batches, &points};
}

// Both rules are exact to degree 13, so the error estimate vanishes and one
// pass is accepted; beyond it the estimate is pessimistic and refines.
TEST(GaussKronrod, PolynomialsAreExactAndUpToDegree13InOnePass) {
  for (int degree : {0, 1, 5, 13, 21}) {
    const auto f = [degree](double x) { return std::pow(x, degree); };
    const std::vector<double> breaks = {-1.0, 2.0};
    QuadratureOptions options;
    options.nonnegative = false;
    const auto r = integrate_gauss_kronrod(f, breaks, options);
    ASSERT_TRUE(r.has_value());
    const double exact = (std::pow(2.0, degree + 1) - std::pow(-1.0, degree + 1)) / (degree + 1);
    EXPECT_NEAR(r->value[0], exact, 1e-13 * std::abs(exact)) << "degree " << degree;
    if (degree <= 13) {
      EXPECT_EQ(r->evaluations, 15u) << "degree " << degree;
    }
    EXPECT_TRUE(r->converged);
  }
}

struct InfiniteCase {
  double lo;
  double hi;
  double exact;
};

TEST(GaussKronrod, InfiniteAndSemiInfiniteEnds) {
  const auto f = [](double x) { return normal_pdf(x, 3.0, 2.0); };
  const double half_above_1 = 0.5 * std::erfc((1.0 - 3.0) / (2.0 * std::numbers::sqrt2));
  for (const InfiniteCase& c : {InfiniteCase{-kInf, kInf, 1.0}, InfiniteCase{1.0, kInf, half_above_1},
                                InfiniteCase{-kInf, 1.0, 1.0 - half_above_1}}) {
    const std::vector<double> breaks = {c.lo, c.hi};
    QuadratureOptions options;
    options.tail_scale = 2.0;
    const auto r = integrate_gauss_kronrod(f, breaks, options);
    ASSERT_TRUE(r.has_value());
    EXPECT_NEAR(r->value[0], c.exact, 1e-12) << c.lo << " " << c.hi;
    EXPECT_TRUE(r->converged);
  }
}

// A peak of width 1e-3 at 3 inside [-100, 100]: the 15 nodes of a single
// piece all miss it, the quantile partition does not.
TEST(GaussKronrod, NarrowPeakInWideSupportIsFoundThroughThePartition) {
  const auto f = [](double x) { return normal_pdf(x, 3.0, 1e-3); };
  const std::vector<double> whole = {-100.0, 100.0};
  const auto blind = integrate_gauss_kronrod(f, whole, {});
  ASSERT_TRUE(blind.has_value());
  EXPECT_LT(blind->value[0], 0.5);  // why the partition matters

  // The quantiles a caller passes: the effective domain's cut points at 8σ
  // and a few inner ones.
  const std::vector<double> quantiles = {-100.0, 2.992, 2.998, 2.999, 3.0, 3.001, 3.002, 3.008, 100.0};
  const auto r = integrate_moments(f, quantiles, 3.0, 2, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR(r->value[0], 1.0, 1e-12);
  EXPECT_NEAR(r->value[1], 0.0, 1e-14);
  EXPECT_NEAR(r->value[2], 1e-6, 1e-16);
  // ∫ f log f = -(1/2) log(2π e σ²)
  const double entropy = 0.5 * std::log(2.0 * std::numbers::pi * std::numbers::e * 1e-6);
  EXPECT_NEAR(r->value[kEntropyIntegral], -entropy, 1e-10);
}

// A peak between the nodes of its piece: the error estimate sees nothing,
// the known mass of the piece does.
TEST(GaussKronrod, KnownMassesExposeAPeakTheNodesMissed) {
  const auto f = [](double x) { return normal_pdf(x, 0.3, 1e-4) + 1e-3; };
  const std::vector<double> breaks = {0.0, 1.0, 2.0};
  const auto blind = integrate_gauss_kronrod(f, breaks, {});
  ASSERT_TRUE(blind.has_value());
  EXPECT_TRUE(blind->converged);
  EXPECT_LT(blind->value[0], 0.5);  // accepted, and wrong

  const std::vector<double> masses = {1.001, 0.001};
  QuadratureOptions options;
  options.expected_mass = masses;
  options.mass_tol = 1e-9;
  const auto r = integrate_gauss_kronrod(f, breaks, options);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->converged);
  EXPECT_NEAR(r->value[0], 1.002, 1e-11);
}

TEST(GaussKronrod, WholeRoundsGoToOneBatchAndOnlyFiniteInteriorPointsAreAsked) {
  std::vector<std::size_t> batches;
  std::vector<double> points;
  const auto f = batched([](double x) { return std::exp(-std::abs(x)) * (1.0 + std::cos(3.0 * x)); }, batches,
                         points);
  const std::vector<double> breaks = {-kInf, -1.0, 0.0, 1.0, 4.0};
  const auto r = integrate_gauss_kronrod(f, breaks, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->converged);
  // ∫_{-∞}^{4} e^{-|x|}(1 + cos 3x) dx
  const auto upper = [](double b) { return 1.0 - std::exp(-b) + (1.0 - std::exp(-b) * (std::cos(3 * b) - 3 * std::sin(3 * b))) / 10.0; };
  EXPECT_NEAR(r->value[0], 1.0 + 0.1 + upper(4.0), 1e-11);
  EXPECT_LE(batches.size(), 12u);
  EXPECT_EQ(batches.front(), 4u * 15u);
  for (double x : points) {
    ASSERT_TRUE(std::isfinite(x));
    ASSERT_LT(x, 4.0);
  }
}

struct BadCase {
  double bad_at;
  double value;
  bool nonnegative;
  bool fails;
};

TEST(GaussKronrod, BadValuesAreReportedWithTheirPoint) {
  for (const BadCase& c : {BadCase{0.5, kNaN, false, true}, BadCase{0.5, kInf, true, true},
                           BadCase{0.5, -1.0, true, true}, BadCase{0.5, -1.0, false, false}}) {
    const auto f = [&c](double x) { return x == c.bad_at ? c.value : 1.0; };
    const std::vector<double> breaks = {0.0, 1.0};  // 0.5 is the middle node
    QuadratureOptions options;
    options.nonnegative = c.nonnegative;
    const auto r = integrate_gauss_kronrod(f, breaks, options);
    if (c.fails) {
      ASSERT_FALSE(r.has_value()) << c.value;
      EXPECT_EQ(r.error().kind(), SetupError::Kind::BadValue);
      EXPECT_EQ(r.error().x(), 0.5);
    } else {
      EXPECT_TRUE(r.has_value());
    }
  }
}

TEST(GaussKronrod, DivergentIntegralSpendsItsBudgetAndSaysSo) {
  // The mean of a Cauchy law: x/(π(1+x²)) on [0, ∞) diverges logarithmically.
  const auto f = [](double x) { return x / (std::numbers::pi * (1.0 + x * x)); };
  const std::vector<double> breaks = {0.0, kInf};
  QuadratureOptions options;
  options.max_pieces = 500;
  const auto r = integrate_gauss_kronrod(f, breaks, options);
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->converged);
  EXPECT_GT(r->error[0], options.rel_tol * r->absolute[0]);
}

TEST(MomentIntegrals, NormalFarFromZeroOnAWideBoxAndOnTheLine) {
  const auto f = [](double x) { return 7.0 * normal_pdf(x, 3.0, 1.0); };  // unnormalized
  for (const std::vector<double>& breaks :
       {std::vector<double>{-100.0, 1.0, 2.0, 3.0, 4.0, 5.0, 100.0}, std::vector<double>{-kInf, 1.0, 3.0, 5.0, kInf}}) {
    const auto r = integrate_moments(f, breaks, 3.1, kMaxMomentOrder, {});
    ASSERT_TRUE(r.has_value());
    ASSERT_TRUE(r->converged);
    const double mass = r->value[0];
    const double mean = 3.1 + r->value[1] / mass;
    const double var = r->value[2] / mass - std::pow(r->value[1] / mass, 2);
    const double entropy = std::log(mass) - r->value[kEntropyIntegral] / mass;
    // Central moments about 3 from those about 3.1: E(x-3)^4 = 3.
    const double shift = 0.1;
    const double m3 = (r->value[3] + 3 * shift * r->value[2] + 3 * shift * shift * r->value[1]) / mass + std::pow(shift, 3);
    const double m4 = (r->value[4] + 4 * shift * r->value[3] + 6 * shift * shift * r->value[2] +
                       4 * std::pow(shift, 3) * r->value[1]) / mass + std::pow(shift, 4);
    EXPECT_NEAR(mass, 7.0, 1e-12);
    EXPECT_NEAR(mean, 3.0, 1e-12);
    EXPECT_NEAR(var, 1.0, 1e-11);
    EXPECT_NEAR(entropy, 0.5 * std::log(2.0 * std::numbers::pi * std::numbers::e), 1e-11);
    EXPECT_NEAR(m3, 0.0, 1e-11);
    EXPECT_NEAR(m4, 3.0, 1e-10);
  }
}

// Orders above the requested ones stay zero: a divergent fourth moment
// (t with 3 degrees of freedom) does not hold the others back.
TEST(MomentIntegrals, OrdersAboveTheRequestedAreLeftAtZero) {
  const auto f = [](double x) { return std::pow(1.0 + x * x / 3.0, -2.0); };
  const std::vector<double> breaks = {-kInf, -1.0, 0.0, 1.0, kInf};
  const auto r = integrate_moments(f, breaks, 0.0, 2, {});
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->converged);
  EXPECT_EQ(r->value[3], 0.0);
  EXPECT_EQ(r->value[4], 0.0);
  EXPECT_NEAR(r->value[2] / r->value[0], 3.0, 1e-9);
}

}  // namespace
}  // namespace varlix
