#include "discrete/alias.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "random.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

AliasTable build(const std::vector<double>& pv, AliasOptions options = {}) {
  auto built = build_alias(pv, options);
  EXPECT_TRUE(built.has_value());
  return *std::move(built);
}

struct MassCase {
  std::vector<double> pv;
  double urn_factor;
};

class AliasMasses : public ::testing::TestWithParam<MassCase> {};

// The urn must hold exactly the normalized vector: every slot's split between
// itself and its alias adds up to pv[k] / sum for each k, zero masses included.
TEST_P(AliasMasses, UrnHoldsTheVector) {
  const auto& [pv, factor] = GetParam();
  const AliasTable table = build(pv, {.urn_factor = factor});
  const double total = std::accumulate(pv.begin(), pv.end(), 0.0);
  EXPECT_EQ(table.size(), pv.size());
  EXPECT_EQ(table.urn_size(), static_cast<std::size_t>(std::ceil(factor * static_cast<double>(pv.size()))));
  for (std::size_t k = 0; k < pv.size(); ++k) {
    EXPECT_NEAR(table.mass(k), pv[k] / total, 1e-14) << "k = " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, AliasMasses,
                         ::testing::Values(MassCase{{0.1, 0.3, 0.6}, 1.0}, MassCase{{0.1, 0.3, 0.6}, 2.5},
                                           MassCase{{1.0}, 1.0}, MassCase{{1.0}, 4.0},
                                           MassCase{{0.0, 5.0, 0.0, 1e-12, 3.0, 0.0}, 1.0},
                                           MassCase{{0.0, 5.0, 0.0, 1e-12, 3.0, 0.0}, 1.7},
                                           MassCase{{1, 1, 1, 1, 1, 1, 1}, 1.0},
                                           MassCase{{1e300, 1e300, 2e300}, 1.0}));

TEST(Alias, DrawsFollowTheVectorAndSkipZeroMass) {
  const std::vector<double> pv{0.0, 2.0, 0.0, 1.0, 7.0, 0.0};
  for (const double factor : {1.0, 1.5, 3.0}) {
    const AliasTable table = build(pv, {.urn_factor = factor, .domain_lo = -3});
    Rng rng = seed_from_u64(42);
    RngSource src(rng);
    constexpr int kDraws = 200000;
    std::vector<double> counts(pv.size(), 0.0);
    for (int i = 0; i < kDraws; ++i) {
      const std::int64_t value = table.draw(src);
      ASSERT_GE(value, -3);
      ASSERT_LT(value, 3);
      counts[static_cast<std::size_t>(value + 3)] += 1.0;
    }
    double chi2 = 0.0;
    for (std::size_t k = 0; k < pv.size(); ++k) {
      if (pv[k] == 0.0) {
        EXPECT_EQ(counts[k], 0.0) << "zero-mass value drawn, k = " << k;
        continue;
      }
      const double expected = kDraws * pv[k] / 10.0;
      chi2 += (counts[k] - expected) * (counts[k] - expected) / expected;
    }
    // Two degrees of freedom: 13.8 is the 0.001 quantile.
    EXPECT_LT(chi2, 13.8) << "urn factor " << factor;
  }
}

struct BuildErrorCase {
  std::vector<double> pv;
  SetupError expected;
};

class AliasBuildErrors : public ::testing::TestWithParam<BuildErrorCase> {};

TEST_P(AliasBuildErrors, Refused) {
  const auto built = build_alias(GetParam().pv);
  ASSERT_FALSE(built.has_value());
  const SetupError& e = built.error();
  EXPECT_EQ(e.kind(), GetParam().expected.kind());
  EXPECT_EQ(e.x(), GetParam().expected.x());
  if (std::isnan(GetParam().expected.value())) {
    EXPECT_TRUE(std::isnan(e.value()));
  } else {
    EXPECT_EQ(e.value(), GetParam().expected.value());
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, AliasBuildErrors,
                         ::testing::Values(BuildErrorCase{{}, SetupError::no_mass()},
                                           BuildErrorCase{{0.0, 0.0}, SetupError::no_mass()},
                                           BuildErrorCase{{0.5, -0.1}, SetupError::bad_value(1, -0.1)},
                                           BuildErrorCase{{0.5, 0.2, kNaN}, SetupError::bad_value(2, kNaN)},
                                           BuildErrorCase{{kInf}, SetupError::bad_value(0, kInf)},
                                           BuildErrorCase{{1.7e308, 1.7e308}, SetupError::bad_value(0, kInf)}));

TEST(Alias, WordsRoundTripAndBatchGiveTheSameDraws) {
  const AliasTable table = build({0.0, 3.0, 1.0, 0.5}, {.urn_factor = 1.5, .domain_lo = -7});
  const auto loaded = AliasTable::from_words(table.to_words());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->to_words(), table.to_words());
  // A batch from the built table equals one-by-one draws from the loaded one.
  Rng a = seed_from_u64(3), b = seed_from_u64(3);
  RngSource sa(a), sb(b);
  std::vector<std::int64_t> batch(1000);
  table.sample(sa, batch);
  for (const std::int64_t value : batch) EXPECT_EQ(value, loaded->draw(sb));
}

// Each alteration of a stored table that could make a draw read out of
// bounds, or return a value outside the vector, is refused.
TEST(Alias, CorruptedWordsRefused) {
  const std::vector<double> good = build({0.25, 0.25, 0.5}, {.urn_factor = 2.0}).to_words();
  // Layout: tag, version, n, m, lo, accept[m], alias[m]; here n = 3, m = 6.
  const std::size_t accept = 5, alias = 11;
  std::vector<std::vector<double>> bad;
  const auto with = [&](std::size_t i, double v) {
    auto w = good;
    w[i] = v;
    bad.push_back(w);
  };
  with(0, 1.0);                       // tag
  with(1, 2.0);                       // version
  with(2, 7.0);                       // n beyond m
  with(2, 0.0);                       // empty
  with(3, 1e9);                       // m beyond the words
  with(2, 1.5);                       // fractional count
  with(4, 0.5);                       // fractional domain start
  with(accept, 1.5);                  // keep probability above 1
  with(accept, kNaN);
  with(accept + 4, 0.5);              // a slot past the values keeps itself
  with(alias, 3.0);                   // alias past the values
  with(alias + 1, -1.0);
  with(alias + 2, 0.5);
  bad.push_back(std::vector<double>(good.begin(), good.end() - 1));  // truncated
  auto longer = good;
  longer.push_back(0.0);
  bad.push_back(longer);
  bad.push_back({});
  for (std::size_t i = 0; i < bad.size(); ++i) {
    const auto loaded = AliasTable::from_words(bad[i]);
    ASSERT_FALSE(loaded.has_value()) << "case " << i;
    EXPECT_EQ(loaded.error(), SetupError::bad_table()) << "case " << i;
  }
}

}  // namespace
}  // namespace varlix
