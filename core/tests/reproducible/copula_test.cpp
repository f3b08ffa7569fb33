#include "multivar/copula.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "multivar_test_density.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

using testing::draws_between;

using Matrix = std::vector<std::vector<double>>;
using Ppf = std::function<std::expected<double, SampleError>(double)>;

Ppf identity() {
  return [](double u) -> std::expected<double, SampleError> { return u; };
}

// Records every u it is given, returns it.
Ppf recorder(std::shared_ptr<std::vector<double>> seen) {
  return [seen](double u) -> std::expected<double, SampleError> {
    seen->push_back(u);
    return u;
  };
}

TEST(GaussianCopula, CholeskyReadsOnlyTheLowerTriangle) {
  struct Case {
    Matrix corr, factor;
  };
  const std::vector<Case> cases = {
      {{{1.0, 99.0}, {0.5, 1.0}}, {{1.0, 0.0}, {0.5, 0.8660254037844386}}},
      {{{4.0}}, {{2.0}}},
      {{{1.0, kNaN}, {0.0, 9.0}}, {{1.0, 0.0}, {0.0, 3.0}}},
  };
  for (const Case& c : cases) {
    const auto copula = GaussianCopula::build(c.corr);
    ASSERT_TRUE(copula.has_value());
    EXPECT_EQ(copula->cholesky(), c.factor);
    EXPECT_EQ(copula->dim(), c.factor.size());
  }
}

TEST(GaussianCopula, FactorReproducesTheMatrix) {
  const Matrix corr = {{1.0, 0.3, -0.2}, {0.3, 1.0, 0.5}, {-0.2, 0.5, 1.0}};
  const auto copula = GaussianCopula::build(corr);
  ASSERT_TRUE(copula.has_value());
  const Matrix& l = copula->cholesky();
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < 3; ++k) s += l[i][k] * l[j][k];
      EXPECT_NEAR(s, corr[i][j], 1e-15);
      if (j > i) {
        EXPECT_EQ(l[i][j], 0.0);
      }
    }
  }
}

TEST(GaussianCopula, RejectedMatrices) {
  const std::vector<Matrix> rejected = {
      {},
      {{1.0, 0.5}},
      {{1.0}, {0.5, 1.0}},
      {{1.0, 2.0}, {2.0, 1.0}},  // not positive definite
      {{0.0}},
      {{-1.0}},
      {{kNaN}},
      {{kInf}},
      {{1.0, 0.0}, {kInf, 1.0}},  // shows up as a failing pivot
      {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0}},
  };
  for (const Matrix& corr : rejected) {
    const auto copula = GaussianCopula::build(corr);
    ASSERT_FALSE(copula.has_value());
    EXPECT_EQ(copula.error(), CopulaError::InvalidCorrelation);
    EXPECT_EQ(message(copula.error()), "InvalidCorrelation");
  }
}

TEST(GaussianCopula, NormalCdfCheckValues) {
  EXPECT_EQ(standard_normal_cdf(0.0), 0.49999998499999965);
  EXPECT_EQ(standard_normal_cdf(1.0), 0.8413447386043252);
  EXPECT_EQ(standard_normal_cdf(-1.0), 0.15865526139567476);
  EXPECT_EQ(standard_normal_cdf(10.0), 1.0);
  EXPECT_EQ(standard_normal_cdf(-10.0), 0.0);
}

// L = [[2]] makes u = Phi(2 z); two uniform draws per coordinate.
TEST(GaussianCopula, DrawsNormalsThenAppliesTheFactor) {
  const auto copula = GaussianCopula::build({{4.0}});
  Rng rng = seed_from_u64(3);
  Rng copy = rng;
  const auto x = copula->sample_with_ppfs(rng, std::vector<Ppf>{identity()});
  ASSERT_TRUE(x.has_value());
  const double z = standard_normal(copy);
  EXPECT_EQ((*x)[0], standard_normal_cdf(2.0 * z));
  EXPECT_EQ(rng, copy);
}

// With a scale of 10^4 almost every latent value saturates the CDF; the
// quantile functions still get u strictly inside (0, 1).
TEST(GaussianCopula, UniformsAreClamped) {
  const auto copula = GaussianCopula::build({{1e8, 0.0}, {0.0, 1e8}});
  auto seen = std::make_shared<std::vector<double>>();
  Rng rng = seed_from_u64(5);
  for (int k = 0; k < 20; ++k) {
    ASSERT_TRUE(copula->sample_with_ppfs(rng, std::vector<Ppf>{recorder(seen), recorder(seen)}).has_value());
  }
  int low = 0;
  int high = 0;
  for (const double u : *seen) {
    low += u == 1e-12;
    high += u == 0.999999999999;
  }
  EXPECT_GT(low, 5);
  EXPECT_GT(high, 5);
  EXPECT_EQ(low + high, 40);
}

TEST(GaussianCopula, WrongNumberOfQuantileFunctionsFailsBeforeDrawing) {
  const auto copula = GaussianCopula::build({{1.0, 0.0}, {0.0, 1.0}});
  auto seen = std::make_shared<std::vector<double>>();
  Rng rng = seed_from_u64(5);
  const Rng start = rng;
  for (std::size_t n : {0u, 1u, 3u}) {
    const auto x = copula->sample_with_ppfs(rng, std::vector<Ppf>(n, recorder(seen)));
    ASSERT_FALSE(x.has_value());
    EXPECT_EQ(x.error().message(), "mcmc sampler failed");
  }
  EXPECT_EQ(rng, start);
  EXPECT_TRUE(seen->empty());
}

// All normals are drawn before the first quantile call; the first failure
// ends the call; a NaN quantile is a value, not a failure.
TEST(GaussianCopula, QuantileFailuresAndNaN) {
  const auto copula = GaussianCopula::build({{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}});
  auto seen = std::make_shared<std::vector<double>>();
  const Ppf fails = [](double) -> std::expected<double, SampleError> {
    return std::unexpected(SampleError::inversion_failed());
  };
  Rng rng = seed_from_u64(6);
  const Rng start = rng;
  const auto failed = copula->sample_with_ppfs(rng, std::vector<Ppf>{recorder(seen), fails, recorder(seen)});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message(), "failed to invert CDF");
  EXPECT_EQ(seen->size(), 1u);
  EXPECT_EQ(draws_between(start, rng), 6u);

  const Ppf nan = [](double) -> std::expected<double, SampleError> { return kNaN; };
  const auto x = copula->sample_with_ppfs(rng, std::vector<Ppf>{nan, identity(), identity()});
  ASSERT_TRUE(x.has_value());
  EXPECT_TRUE(std::isnan((*x)[0]));
}

TEST(GaussianCopula, SeededPointsRepeat) {
  const auto copula = GaussianCopula::build({{1.0, 0.7}, {0.7, 1.0}});
  Rng a = seed_from_u64(7);
  Rng b = seed_from_u64(7);
  const std::vector<Ppf> ppfs = {identity(), [](double u) -> std::expected<double, SampleError> { return -u; }};
  EXPECT_EQ(*copula->sample_with_ppfs(a, ppfs), *copula->sample_with_ppfs(b, ppfs));
}

// Spearman's rank correlation of a Gaussian copula is (6 / pi) asin(rho / 2);
// for uniform marginals it is the plain correlation of the points times 12.
// 20000 points: standard error near 0.003.
TEST(GaussianCopula, RankCorrelationMatchesTheMatrix) {
  constexpr double kRho = 0.8;
  const auto copula = GaussianCopula::build({{1.0, kRho}, {kRho, 1.0}});
  Rng rng = seed_from_u64(8);
  const std::vector<Ppf> ppfs = {identity(), identity()};
  constexpr int kPoints = 20000;
  double sum = 0.0;
  for (int k = 0; k < kPoints; ++k) {
    const auto x = copula->sample_with_ppfs(rng, ppfs);
    sum += ((*x)[0] - 0.5) * ((*x)[1] - 0.5);
  }
  EXPECT_NEAR(12.0 * sum / kPoints, 6.0 / M_PI * std::asin(kRho / 2.0), 0.02);
}

}  // namespace
}  // namespace varlix
