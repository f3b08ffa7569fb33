#include "multivar/low_rank_adaptation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "multivar/hamiltonian_metric.hpp"
#include "multivar/symmetric_eigen.hpp"
#include "random.hpp"

namespace varlix {
namespace {

using Matrix = std::vector<double>;  // row-major, square

Matrix multiply(const Matrix& a, const Matrix& b, std::size_t d, bool transpose_b = false) {
  Matrix c(d * d, 0.0);
  for (std::size_t i = 0; i < d; ++i)
    for (std::size_t j = 0; j < d; ++j)
      for (std::size_t k = 0; k < d; ++k) c[i * d + j] += a[i * d + k] * (transpose_b ? b[j * d + k] : b[k * d + j]);
  return c;
}

// k orthonormal rows of d (Gram-Schmidt of normals).
std::vector<double> orthonormal_rows(std::size_t k, std::size_t d, std::uint64_t seed) {
  Rng rng = seed_from_u64(seed);
  RngSource source(rng);
  std::vector<double> u(k * d);
  fill_standard_normal(source, u);
  for (std::size_t j = 0; j < k; ++j) {
    for (std::size_t b = 0; b < j; ++b) {
      double dot = 0.0;
      for (std::size_t i = 0; i < d; ++i) dot += u[b * d + i] * u[j * d + i];
      for (std::size_t i = 0; i < d; ++i) u[j * d + i] -= dot * u[b * d + i];
    }
    double norm = 0.0;
    for (std::size_t i = 0; i < d; ++i) norm += u[j * d + i] * u[j * d + i];
    for (std::size_t i = 0; i < d; ++i) u[j * d + i] /= std::sqrt(norm);
  }
  return u;
}

// LowRankMetric words for scales s, eigenvalues lambda and directions u
// (rows).
std::vector<double> metric_words(const std::vector<double>& s, const std::vector<double>& lambda,
                                 const std::vector<double>& u) {
  const std::size_t d = s.size();
  const std::size_t k = lambda.size();
  constexpr std::size_t kMax = LowRankMetric::kMaxRank;
  std::vector<double> w(LowRankMetric::metric_size(d), 0.0);
  std::copy(s.begin(), s.end(), w.begin());
  w[d] = static_cast<double>(k);
  for (std::size_t j = 0; j < kMax; ++j) w[d + 1 + j] = j < k ? lambda[j] : 1.0;
  std::copy(u.begin(), u.end(), w.begin() + static_cast<std::ptrdiff_t>(d + 1 + kMax));
  return w;
}

// The matrix a metric applies: column i of move is L e_i, of kick L^T e_i.
template <class M>
Matrix applied(const M& metric, std::size_t d, bool kick) {
  Matrix out(d * d, 0.0);
  std::vector<double> e(d), y(d);
  for (std::size_t i = 0; i < d; ++i) {
    std::fill(e.begin(), e.end(), 0.0);
    std::fill(y.begin(), y.end(), 0.0);
    e[i] = 1.0;
    if (kick) {
      metric.kick(y, 1.0, e);
    } else {
      metric.move(y, 1.0, e);
    }
    for (std::size_t r = 0; r < d; ++r) out[r * d + i] = y[r];
  }
  return out;
}

// C = D^1/2 (I + U^T (Lambda - I) U) D^1/2 with u's rows the directions.
Matrix covariance_of(const std::vector<double>& s, const std::vector<double>& lambda, const std::vector<double>& u) {
  const std::size_t d = s.size();
  Matrix c(d * d, 0.0);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) {
      double v = i == j ? 1.0 : 0.0;
      for (std::size_t k = 0; k < lambda.size(); ++k) v += u[k * d + i] * (lambda[k] - 1.0) * u[k * d + j];
      c[i * d + j] = s[i] * v * s[j];
    }
  }
  return c;
}

TEST(LowRankMetric, FactorSquaresToTheCovarianceAndKickAppliesItsTranspose) {
  const std::size_t d = 9;
  const std::vector<double> s = {0.1, 0.5, 1.0, 2.0, 3.0, 0.7, 10.0, 0.02, 1.5};
  const std::vector<double> lambda = {400.0, 0.01, 3.0};
  const std::vector<double> u = orthonormal_rows(3, d, 5);
  const std::vector<double> words = metric_words(s, lambda, u);
  const LowRankMetric metric{words};
  ASSERT_EQ(metric.dim(), d);
  const Matrix l = applied(metric, d, false);
  const Matrix lt = applied(metric, d, true);
  const Matrix c = covariance_of(s, lambda, u);
  const Matrix llt = multiply(l, l, d, true);
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < d; ++j) {
      EXPECT_NEAR(lt[i * d + j], l[j * d + i], 1e-12 * (1.0 + std::fabs(l[j * d + i]))) << i << "," << j;
      EXPECT_NEAR(llt[i * d + j], c[i * d + j], 1e-10 * std::sqrt(c[i * d + i] * c[j * d + j])) << i << "," << j;
    }
  }
  // Rank 0 is the diagonal metric, with a step of any size.
  std::vector<double> bare = words;
  bare[d] = 0.0;
  std::vector<double> r(d, 1.0), q1(d, 0.5), q2(d, 0.5);
  LowRankMetric{bare}.move(q1, -0.3, r);
  DiagonalMetric{s}.move(q2, -0.3, r);
  EXPECT_EQ(q1, q2);
}

TEST(SymmetricEigen, DiagonalisesWithOrthonormalVectorsIncludingRepeatedEigenvalues) {
  for (const std::size_t m : {1u, 2u, 3u, 7u, 40u, 150u}) {
    // Q diag(lambda) Q^T, lambda from 1e-3 to 1e3 in pairs of equal values.
    std::vector<double> lambda(m);
    for (std::size_t k = 0; k < m; ++k) lambda[k] = std::pow(10.0, -3.0 + 6.0 * double(k / 2) / double(m / 2 + 1));
    const std::vector<double> q = orthonormal_rows(m, m, 100 + m);
    Matrix a(m * m, 0.0);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t j = 0; j < m; ++j)
        for (std::size_t k = 0; k < m; ++k) a[i * m + j] += q[k * m + i] * lambda[k] * q[k * m + j];
    const Matrix original = a;
    Matrix v(m * m);
    std::vector<double> values(m), work(2 * m);
    ASSERT_TRUE(symmetric_eigen(a, m, v, values, work)) << m;
    const double tolerance = 1e-12 * double(m) * 1e3;  // relative to the norm, 1e3
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t k = 0; k < m; ++k) EXPECT_NEAR(sorted[k], lambda[k], tolerance) << m;
    for (std::size_t j = 0; j < m; ++j) {
      for (std::size_t i = 0; i < m; ++i) {
        double av = 0.0;
        for (std::size_t k = 0; k < m; ++k) av += original[i * m + k] * v[k * m + j];
        EXPECT_NEAR(av, values[j] * v[i * m + j], tolerance) << m;
      }
      for (std::size_t l = 0; l < m; ++l) {
        double dot = 0.0;
        for (std::size_t i = 0; i < m; ++i) dot += v[i * m + j] * v[i * m + l];
        EXPECT_NEAR(dot, j == l ? 1.0 : 0.0, 1e-12 * double(m));
      }
    }
  }
  Matrix bad = {1.0, std::nan(""), std::nan(""), 1.0};
  Matrix v(4);
  std::vector<double> values(2), work(4);
  EXPECT_FALSE(symmetric_eigen(bad, 2, v, values, work));
}

// The condition number of the target's covariance s seen through metric
// c: the spread of the eigenvalues of c^-1/2 s c^-1/2.
double condition_through(const Matrix& c, const Matrix& s, std::size_t d) {
  Matrix a = c;
  Matrix v(d * d);
  std::vector<double> values(d), work(2 * d);
  EXPECT_TRUE(symmetric_eigen(a, d, v, values, work));
  Matrix root(d * d, 0.0);  // c^-1/2
  for (std::size_t i = 0; i < d; ++i)
    for (std::size_t j = 0; j < d; ++j)
      for (std::size_t k = 0; k < d; ++k) root[i * d + j] += v[i * d + k] * v[j * d + k] / std::sqrt(values[k]);
  Matrix m = multiply(multiply(root, s, d), root, d);
  EXPECT_TRUE(symmetric_eigen(m, d, v, values, work));
  return *std::max_element(values.begin(), values.end()) / *std::min_element(values.begin(), values.end());
}

// Exact draws of a Gaussian whose covariance has scales spanning 10^2 and
// three strong directions (variance ratios 400, 100 and 1/100): the
// estimate from 100 draws must leave it nearly isotropic, where the
// diagonal metric alone leaves a condition number in the thousands.
TEST(LowRankEstimator, FindsTheStrongDirectionsOfACorrelatedGaussian) {
  const std::size_t d = 30;
  std::vector<double> s(d);
  for (std::size_t i = 0; i < d; ++i) s[i] = std::pow(10.0, -1.0 + 2.0 * double(i) / double(d - 1));
  const std::vector<double> lambda = {400.0, 100.0, 0.01};
  const std::vector<double> u = orthonormal_rows(3, d, 7);
  const Matrix target = covariance_of(s, lambda, u);
  const Matrix factor = applied(LowRankMetric{metric_words(s, lambda, u)}, d, false);  // target = F F^T
  Matrix precision = target;  // by its eigenpairs
  {
    Matrix a = target, v(d * d);
    std::vector<double> values(d), work(2 * d);
    ASSERT_TRUE(symmetric_eigen(a, d, v, values, work));
    std::fill(precision.begin(), precision.end(), 0.0);
    for (std::size_t i = 0; i < d; ++i)
      for (std::size_t j = 0; j < d; ++j)
        for (std::size_t k = 0; k < d; ++k) precision[i * d + j] += v[i * d + k] * v[j * d + k] / values[k];
  }
  auto e = LowRankEstimator::make(d);
  ASSERT_TRUE(e);
  Rng rng = seed_from_u64(11);
  RngSource source(rng);
  std::vector<double> z(d), x(d), g(d);
  for (std::size_t t = 0; t < 250; ++t) {  // more than the reservoir: the ring wraps
    fill_standard_normal(source, z);
    for (std::size_t i = 0; i < d; ++i) {
      x[i] = 0.0;
      for (std::size_t k = 0; k < d; ++k) x[i] += factor[i * d + k] * z[k];
    }
    for (std::size_t i = 0; i < d; ++i) {
      g[i] = 0.0;
      for (std::size_t k = 0; k < d; ++k) g[i] -= precision[i * d + k] * x[k];
    }
    e->add(x, g);
  }
  std::vector<double> words(LowRankMetric::metric_size(d), 0.0);
  std::fill_n(words.begin(), d, 1.0);
  e->update(words);
  EXPECT_EQ(e->count(), 0.0);
  const LowRankMetric metric{words};
  ASSERT_GE(metric.rank(), 3u);
  ASSERT_LE(metric.rank(), LowRankMetric::kMaxRank);
  const Matrix l = applied(metric, d, false);
  const double adapted = condition_through(multiply(l, l, d, true), target, d);
  Matrix diagonal(d * d, 0.0);
  for (std::size_t i = 0; i < d; ++i) diagonal[i * d + i] = words[i] * words[i];
  const double diagonal_only = condition_through(diagonal, target, d);
  EXPECT_GT(diagonal_only, 1000.0);
  EXPECT_LT(adapted, 15.0);
  // The directions are orthonormal.
  for (std::size_t a = 0; a < metric.rank(); ++a) {
    for (std::size_t b = 0; b < metric.rank(); ++b) {
      double dot = 0.0;
      for (std::size_t i = 0; i < d; ++i) dot += metric.direction(a)[i] * metric.direction(b)[i];
      EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-10);
    }
  }
}

TEST(LowRankEstimator, KeepsTheMetricWithoutTwoDrawsAndSavesItsReservoir) {
  const std::size_t d = 4;
  auto e = LowRankEstimator::make(d);
  ASSERT_TRUE(e);
  std::vector<double> words(LowRankMetric::metric_size(d), 0.5);
  words[d] = 0.0;
  const std::vector<double> before = words;
  const std::vector<double> x = {1.0, 2.0, 3.0, 4.0};
  e->add(x, x);
  e->update(words);
  EXPECT_EQ(words, before);
  // A window saved halfway and restored gives the same metric.
  auto a = LowRankEstimator::make(d);
  auto b = LowRankEstimator::make(d);
  ASSERT_TRUE(a && b);
  Rng rng = seed_from_u64(2);
  RngSource source(rng);
  std::vector<double> p(d), q(d);
  for (int t = 0; t < 60; ++t) {
    fill_standard_normal(source, p);
    for (std::size_t i = 0; i < d; ++i) q[i] = -p[i] * (1.0 + double(i)) - 0.5 * p[0];
    a->add(p, q);
    if (t == 30) {
      std::vector<double> state(LowRankEstimator::state_size(d));
      a->save(state);
      b->restore(state);
    } else if (t > 30) {
      b->add(p, q);
    }
  }
  std::vector<double> wa(LowRankMetric::metric_size(d), 1.0), wb = wa;
  wa[d] = wb[d] = 0.0;
  a->update(wa);
  b->update(wb);
  EXPECT_EQ(wa, wb);
}

}  // namespace
}  // namespace varlix
