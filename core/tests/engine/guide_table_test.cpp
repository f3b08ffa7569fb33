#include "discrete/guide_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "random.hpp"
#include "sample_checks.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

GuideTable build(const std::vector<double>& pv, GuideTableOptions options = {}) {
  auto built = build_guide_table(pv, options);
  EXPECT_TRUE(built.has_value());
  return *std::move(built);
}

struct PpfCase {
  double u;
  double expected;  // NaN: expect NaN
};

class GuidePpf : public ::testing::TestWithParam<PpfCase> {};

// Smallest k with CDF(k) >= u; the ends follow the conventions CDF(-1) = 0
// and "the vector's last index closes the support", zero masses included.
TEST_P(GuidePpf, Quantile) {
  const GuideTable table = build({0.0, 0.2, 0.3, 0.0, 0.5, 0.0});
  const auto [u, expected] = GetParam();
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(table.ppf(u))) << u;
  } else {
    EXPECT_EQ(table.ppf(u), expected) << u;
  }
}

INSTANTIATE_TEST_SUITE_P(Points, GuidePpf,
                         ::testing::Values(PpfCase{0.0, -1.0}, PpfCase{1e-300, 1.0}, PpfCase{0.2, 1.0},
                                           PpfCase{0.2000001, 2.0}, PpfCase{0.5, 2.0}, PpfCase{0.50001, 4.0},
                                           PpfCase{0.999999, 4.0}, PpfCase{1.0, 5.0}, PpfCase{1.5, kNaN},
                                           PpfCase{-0.1, kNaN}, PpfCase{kNaN, kNaN}, PpfCase{kInf, kNaN}));

TEST(Guide, PpfShiftedByDomainStart) {
  const GuideTable table = build({0.2, 0.3, 0.5}, {.domain_lo = 5});
  EXPECT_EQ(table.ppf(0.0), 4.0);
  EXPECT_EQ(table.ppf(0.2), 5.0);
  EXPECT_EQ(table.ppf(0.3), 6.0);
  EXPECT_EQ(table.ppf(1.0), 7.0);
}

// The guided search must give exactly what a linear search of the cumulative
// table gives, for every guide size, including uniforms on the cell edges.
TEST(Guide, DrawIsTheLinearSearchAnswer) {
  const std::vector<double> pv{0.0, 1.0, 0.0, 0.0, 3.0, 0.5, 0.0, 2.5, 1.0, 0.0};
  Rng rng = seed_from_u64(11);
  std::vector<double> us;
  for (int i = 0; i < 20000; ++i) us.push_back(standard_uniform(rng));
  for (int j = 0; j < 40; ++j) us.push_back(j / 40.0);
  us.push_back(0.0);
  us.push_back(std::nextafter(1.0, 0.0));
  for (const double factor : {0.0, 0.3, 1.0, 2.0, 3.0}) {
    const GuideTable table = build(pv, {.guide_factor = factor, .domain_lo = 100});
    sample_checks::ListSource src(us);
    for (const double u : us) {
      std::size_t k = 0;
      while (table.cumulative()[k] <= u) ++k;
      ASSERT_EQ(table.draw(src), 100 + static_cast<std::int64_t>(k)) << "u = " << u << " factor " << factor;
      ASSERT_GT(pv[k], 0.0);
    }
  }
}

TEST(Guide, BuildErrors) {
  const std::vector<std::pair<std::vector<double>, SetupError>> cases{
      {{}, SetupError::no_mass()},
      {{0.0}, SetupError::no_mass()},
      {{1.0, -2.0}, SetupError::bad_value(1, -2.0)},
      {{1.0, kInf}, SetupError::bad_value(1, kInf)},
  };
  for (const auto& [pv, expected] : cases) {
    const auto built = build_guide_table(pv);
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error(), expected);
  }
  const auto nan = build_guide_table(std::vector<double>{kNaN});
  ASSERT_FALSE(nan.has_value());
  EXPECT_EQ(nan.error().kind(), SetupError::Kind::BadValue);
}

TEST(Guide, WordsRoundTripAndCorruption) {
  const GuideTable table = build({0.0, 0.25, 0.25, 0.5}, {.guide_factor = 1.5, .domain_lo = 2});
  const std::vector<double> good = table.to_words();
  const auto loaded = GuideTable::from_words(good);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->to_words(), good);
  EXPECT_EQ(loaded->guide_size(), table.guide_size());
  // A batch from the built table equals one-by-one draws from the loaded one.
  Rng a = seed_from_u64(5), b = seed_from_u64(5);
  RngSource sa(a), sb(b);
  std::vector<std::int64_t> batch(1000);
  table.sample(sa, batch);
  for (const std::int64_t value : batch) EXPECT_EQ(value, loaded->draw(sb));

  // Layout: tag, version, n, guide size, lo, cumulative[n].
  std::vector<std::vector<double>> bad;
  const auto with = [&](std::size_t i, double v) {
    auto w = good;
    w[i] = v;
    bad.push_back(w);
  };
  with(0, 0.0);
  with(2, 5.0);    // more entries than stored
  with(3, 0.0);    // no guide
  with(3, 1e12);   // a guide far beyond what the build makes
  with(5, 0.3);    // decreasing
  with(6, -0.1);
  with(8, 0.9);    // not closed at 1
  with(7, 1.5);    // above 1
  with(6, kNaN);
  bad.push_back(std::vector<double>(good.begin(), good.end() - 1));
  for (std::size_t i = 0; i < bad.size(); ++i) {
    const auto r = GuideTable::from_words(bad[i]);
    ASSERT_FALSE(r.has_value()) << "case " << i;
    EXPECT_EQ(r.error(), SetupError::bad_table()) << "case " << i;
  }
}

}  // namespace
}  // namespace varlix
