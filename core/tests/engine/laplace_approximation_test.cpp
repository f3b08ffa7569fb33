#include "multivar/laplace_approximation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "multivar/anchored_covariance.hpp"
#include "multivar/laplace_proposal.hpp"
#include "random.hpp"
#include "uniform_source.hpp"

namespace varlix {
namespace {

// A correlated Gaussian in three coordinates with scales 0.01, 1 and 100:
// log p = -1/2 (x - mu)^T P (x - mu), P the inverse of kCovariance.
constexpr std::size_t kDim = 3;
constexpr double kMean[kDim] = {1.0, -2.0, 30.0};
constexpr double kCovariance[kDim * kDim] = {1e-4, 0.006, 0.0, 0.006, 1.0, 40.0, 0.0, 40.0, 1e4};

std::vector<double> inverse3(std::span<const double> a) {
  const double det = a[0] * (a[4] * a[8] - a[5] * a[7]) - a[1] * (a[3] * a[8] - a[5] * a[6]) +
                     a[2] * (a[3] * a[7] - a[4] * a[6]);
  return {(a[4] * a[8] - a[5] * a[7]) / det, (a[2] * a[7] - a[1] * a[8]) / det, (a[1] * a[5] - a[2] * a[4]) / det,
          (a[5] * a[6] - a[3] * a[8]) / det, (a[0] * a[8] - a[2] * a[6]) / det, (a[2] * a[3] - a[0] * a[5]) / det,
          (a[3] * a[7] - a[4] * a[6]) / det, (a[1] * a[6] - a[0] * a[7]) / det, (a[0] * a[4] - a[1] * a[3]) / det};
}

// The Gaussian, batched, counting its points and batches; a large constant
// makes the differences work against rounding as a real posterior would.
struct Gaussian {
  std::vector<double> precision = inverse3(kCovariance);
  double offset = -1e4;
  mutable std::size_t points = 0;
  mutable std::size_t batches = 0;
  double operator()(std::span<const double> x) const {
    ++points;
    double q = 0.0;
    for (std::size_t i = 0; i < kDim; ++i) {
      for (std::size_t j = 0; j < kDim; ++j) q += (x[i] - kMean[i]) * precision[i * kDim + j] * (x[j] - kMean[j]);
    }
    return offset - 0.5 * q;
  }
  void eval_batch(std::span<const double> xs, std::span<double> ys) const {
    ++batches;
    for (std::size_t k = 0; k < ys.size(); ++k) ys[k] = (*this)(xs.subspan(k * kDim, kDim));
  }
};

std::vector<double> covariance_of(std::span<const double> factor, std::size_t d) {
  std::vector<double> s(d * d, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) {
      for (std::size_t k = 0; k < d; ++k) s[i * d + j] += factor[i * d + k] * factor[j * d + k];
    }
  }
  return s;
}

TEST(LaplaceApproximation, RecoversAGaussiansMeanAndCovarianceFromTheBestStart) {
  const Gaussian f;
  // The second start is nearer the mode: Newton starts there.
  const std::vector<double> starts = {5.0, 5.0, -50.0, 1.5, 0.0, 0.0};
  const auto found = laplace_approximation(f, starts, kDim);
  ASSERT_TRUE(found.has_value());
  const std::vector<double> s = covariance_of(found->factor, kDim);
  for (std::size_t i = 0; i < kDim; ++i) {
    EXPECT_NEAR(found->mode[i], kMean[i], 2e-3 * std::sqrt(kCovariance[i * kDim + i])) << i;
    for (std::size_t j = 0; j < kDim; ++j) {
      const double scale = std::sqrt(kCovariance[i * kDim + i] * kCovariance[j * kDim + j]);
      EXPECT_NEAR(s[i * kDim + j], kCovariance[i * kDim + j], 1e-5 * scale) << i << ", " << j;
    }
  }
  // The starts in one batch; then each iteration evaluates its
  // 1 + 2d + d(d - 1)/2 difference points in one batch and, but for the
  // last, its 12 trial steps in another. A quadratic needs few.
  const std::size_t stencil = 1 + 2 * kDim + kDim * (kDim - 1) / 2;
  const std::size_t iterations = f.batches / 2;
  EXPECT_LE(iterations, 3u);
  EXPECT_EQ(found->evaluations, 2 + iterations * stencil + (iterations - 1) * 12);
  EXPECT_EQ(found->evaluations, f.points);
}

// Logistic-regression-like: log p = -sum log(1 + exp(-y_k a_k . x)) - |x|^2 / 2,
// concave, not quadratic; the mode where the gradient vanishes.
struct Logistic {
  double operator()(std::span<const double> x) const {
    constexpr double a[4][2] = {{1.0, 0.5}, {-0.3, 1.2}, {0.8, -1.0}, {2.0, 0.1}};
    double lp = -0.5 * (x[0] * x[0] + x[1] * x[1]);
    for (const auto& row : a) lp -= std::log1p(std::exp(-(row[0] * x[0] + row[1] * x[1])));
    return lp;
  }
};

TEST(LaplaceApproximation, FindsTheModeOfAConcaveNonQuadraticTarget) {
  const Logistic f;
  const std::vector<double> start = {3.0, -3.0};
  const auto found = laplace_approximation(f, start, 2);
  ASSERT_TRUE(found.has_value());
  // The gradient at the mode, by wide central differences, vanishes.
  for (std::size_t i = 0; i < 2; ++i) {
    std::vector<double> up = found->mode;
    std::vector<double> down = found->mode;
    up[i] += 1e-4;
    down[i] -= 1e-4;
    EXPECT_NEAR((f(up) - f(down)) / 2e-4, 0.0, 1e-4) << i;
  }
}

struct Failing {
  enum class Shape { Bowl, Saddle, NaNAway, Flat } shape;
  double operator()(std::span<const double> x) const {
    switch (shape) {
      case Shape::Bowl: return x[0] * x[0] + x[1] * x[1];
      case Shape::Saddle: return -x[0] * x[0] + x[1] * x[1];
      case Shape::NaNAway: return x[0] > 0.5 ? std::numeric_limits<double>::quiet_NaN() : -x[0] * x[0] - x[1] * x[1];
      case Shape::Flat: return 0.0;
    }
    return 0.0;
  }
};

struct FailureCase {
  Failing::Shape shape;
  std::vector<double> start;
  LaplaceFailure::Kind kind;
};

class LaplaceFails : public ::testing::TestWithParam<FailureCase> {};

// Where the approximation cannot be trusted it says why, and how much it
// spent, instead of returning a metric.
TEST_P(LaplaceFails, WithTheReason) {
  const FailureCase& c = GetParam();
  const Failing f{c.shape};
  const auto found = laplace_approximation(f, c.start, 2);
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error().kind, c.kind);
  EXPECT_GT(found.error().evaluations, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, LaplaceFails,
    ::testing::Values(
        // No maximum: the shifted steps climb the bowl without end, or
        // converge to a point whose curvature is not negative.
        FailureCase{Failing::Shape::Bowl, {1.0, 1.0}, LaplaceFailure::Kind::NoProgress},
        FailureCase{Failing::Shape::Saddle, {0.0, 0.0}, LaplaceFailure::Kind::Indefinite},
        FailureCase{Failing::Shape::NaNAway, {0.5, 0.0}, LaplaceFailure::Kind::NotFinite},
        FailureCase{Failing::Shape::Flat, {0.0, 0.0}, LaplaceFailure::Kind::Indefinite},
        FailureCase{Failing::Shape::NaNAway, {0.7, 0.0}, LaplaceFailure::Kind::NotFinite}));

// Neal's funnel in 10 coordinates: v ~ N(0, 9), x_i | v ~ N(0, e^v). Its
// mode, v = -40.5 and x = 0, is the bottom of the neck, where the x scales
// are e^-20 of the bulk's.
struct Funnel {
  double operator()(std::span<const double> u) const {
    double xx = 0.0;
    for (std::size_t i = 1; i < u.size(); ++i) xx += u[i] * u[i];
    return -u[0] * u[0] / 18.0 - 0.5 * static_cast<double>(u.size() - 1) * u[0] - 0.5 * xx * std::exp(-u[0]);
  }
};

TEST(LaplaceApproximation, RefusesAFunnelsNeckFromOnTheAxisOrFromTheBulk) {
  const Funnel f;
  std::vector<double> axis(10, 0.0);
  std::vector<double> bulk(10, 0.5);
  for (const auto& start : {axis, bulk}) {
    const auto found = laplace_approximation(f, start, 10);
    ASSERT_FALSE(found.has_value());
    EXPECT_EQ(found.error().kind, LaplaceFailure::Kind::Narrow);
  }
}

TEST(LaplaceApproximation, RefusesMoreCoordinatesThanItsLimitWithoutEvaluating) {
  const Failing f{Failing::Shape::Flat};
  const std::vector<double> start(kMaxLaplaceDim + 1, 0.0);
  const auto found = laplace_approximation(f, start, kMaxLaplaceDim + 1);
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error().kind, LaplaceFailure::Kind::TooManyCoordinates);
  EXPECT_EQ(found.error().evaluations, 0u);
}

// ---- the anchored dense metric --------------------------------------------------

TEST(AnchoredDenseEstimator, AveragesTheWindowWithTheCurrentCovarianceByWeight) {
  constexpr std::size_t d = 2;
  auto e = AnchoredDenseEstimator::make(d);
  ASSERT_TRUE(e.has_value());
  // Draws (+-1, +-1) around 0: covariance [[4/3, 0], [0, 4/3]] from 4 draws
  // (n - 1 = 3), i.e. comoments 4 on the diagonal.
  const double draws[4][2] = {{1.0, 1.0}, {-1.0, -1.0}, {1.0, -1.0}, {-1.0, 1.0}};
  for (const auto& x : draws) e->add(x, x);
  // The current metric: covariance [[1, 0.5], [0.5, 1]].
  std::vector<double> factor = {1.0, 0.0, 0.5, std::sqrt(0.75)};
  e->update(factor);
  const double w = 4.0 / (4.0 + anchor_steps(d));
  const std::vector<double> s = covariance_of(factor, d);
  EXPECT_NEAR(s[0], w * 4.0 / 3.0 + (1 - w) * 1.0, 1e-12);
  EXPECT_NEAR(s[3], w * 4.0 / 3.0 + (1 - w) * 1.0, 1e-12);
  EXPECT_NEAR(s[1], (1 - w) * 0.5, 1e-12);
  // The window is cleared: an update without draws keeps the metric.
  const std::vector<double> kept = factor;
  e->update(factor);
  EXPECT_EQ(factor, kept);
}

// ---- independence proposals around the mode ----------------------------------------

TEST(LaplaceProposal, ItsDrawsAndItsDensityAgree) {
  // The Metropolis-Hastings ratio takes ln q(y) from the draw and ln q(x)
  // from log_density: they must be the same function. And the draws have
  // the t's covariance, nu / (nu - 2) L L^T = 2 L L^T.
  const std::vector<double> mode = {1.0, -2.0};
  const std::vector<double> factor = {2.0, 0.0, 0.3, 0.5};
  const LaplaceProposal q{mode, factor};
  Rng rng = seed_from_u64(11);
  RngSource source(rng);
  std::vector<double> z(2), y(2), work(2);
  double s00 = 0.0, s01 = 0.0;
  const int n = 200000;
  for (int k = 0; k < n; ++k) {
    const double log_q = q.draw(source, z, y);
    if (k < 100) {
      EXPECT_NEAR(q.log_density(y, work), log_q, 1e-12 * (1.0 + std::fabs(log_q)));
    }
    s00 += (y[0] - mode[0]) * (y[0] - mode[0]);
    s01 += (y[0] - mode[0]) * (y[1] - mode[1]);
  }
  // The fourth moment of a t with 4 degrees is infinite: a loose bound.
  EXPECT_NEAR(s00 / n, 2.0 * 4.0, 0.4);
  EXPECT_NEAR(s01 / n, 2.0 * 0.6, 0.15);
  EXPECT_DOUBLE_EQ(q.log_density(mode, work), 0.0);
}

}  // namespace
}  // namespace varlix
