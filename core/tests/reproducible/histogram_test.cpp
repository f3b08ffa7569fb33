// Histogram density: construction checks in order, bin densities in both
// modes, bin lookup at edges, and the integrated distribution over it.
#include "continuous/histogram.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "continuous/cdf.hpp"
#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

constexpr double kTol = 1e-10;
// Quadrature of a step is not bounded by tol: each edge is refined until the
// Simpson levels agree within 15 * tol, leaving an error of that order.
constexpr double kStepError = 1e-8;

const std::string kInvalidText = "invalid histogram edges or counts";
const std::string kNormalizeText = "failed to normalize PDF on support";

HistogramPdf make(std::vector<double> edges, std::vector<double> counts, bool density) {
  auto pdf = HistogramPdf::build(std::move(edges), std::move(counts), density);
  EXPECT_TRUE(pdf);
  return *std::move(pdf);
}

std::vector<double> densities(const HistogramPdf& pdf) {
  return {pdf.densities().begin(), pdf.densities().end()};
}

struct RejectCase {
  const char* name;
  std::vector<double> edges;
  std::vector<double> counts;
  std::string text;
};

class HistogramRejects : public testing::TestWithParam<RejectCase> {};

TEST_P(HistogramRejects, WithItsText) {
  const auto& c = GetParam();
  for (const bool density : {false, true}) {
    const auto pdf = HistogramPdf::build(c.edges, c.counts, density);
    ASSERT_FALSE(pdf);
    EXPECT_EQ(pdf.error().message(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistogramRejects,
    testing::Values(RejectCase{"OneEdge", {0.0}, {}, kInvalidText},
                    RejectCase{"NoEdges", {}, {}, kInvalidText},
                    RejectCase{"CountsTooLong", {0.0, 1.0}, {1.0, 1.0}, kInvalidText},
                    RejectCase{"CountsTooShort", {0.0, 1.0, 2.0}, {1.0}, kInvalidText},
                    RejectCase{"RepeatedEdge", {0.0, 0.0, 1.0}, {1.0, 1.0}, kInvalidText},
                    RejectCase{"DecreasingEdge", {0.0, 2.0, 1.0}, {1.0, 1.0}, kInvalidText},
                    RejectCase{"NanEdge", {0.0, kNaN, 1.0}, {1.0, 1.0}, kInvalidText},
                    RejectCase{"InfiniteEdge", {0.0, 1.0, kInf}, {1.0, 1.0}, kInvalidText},
                    RejectCase{"NegativeCount", {0.0, 1.0, 2.0}, {1.0, -1.0}, kInvalidText},
                    RejectCase{"NanCount", {0.0, 1.0, 2.0}, {kNaN, 1.0}, kInvalidText},
                    RejectCase{"InfiniteCount", {0.0, 1.0, 2.0}, {1.0, kInf}, kInvalidText},
                    // Edges are checked before counts, counts before their sum.
                    RejectCase{"BadEdgeAndZeroCounts", {0.0, 0.0, 1.0}, {0.0, 0.0}, kInvalidText},
                    RejectCase{"AllZero", {0.0, 1.0, 2.0}, {0.0, 0.0}, kNormalizeText},
                    RejectCase{"AllNegativeZero", {0.0, 1.0}, {-0.0}, kNormalizeText}),
    [](const auto& instance) { return std::string(instance.param.name); });

TEST(HistogramPdf, BinDensitiesInBothModes) {
  EXPECT_EQ(densities(make({0.0, 1.0, 3.0}, {1.0, 1.0}, false)), (std::vector<double>{0.5, 0.25}));
  EXPECT_EQ(densities(make({0.0, 1.0, 3.0}, {1.0, 1.0}, true)), (std::vector<double>{1.0, 0.5}));
  EXPECT_EQ(densities(make({0.0, 1.0}, {3.0}, false)), (std::vector<double>{1.0}));
  EXPECT_EQ(densities(make({0.0, 1.0, 2.0}, {-0.0, 2.0}, false)), (std::vector<double>{0.0, 1.0}));
}

TEST(HistogramPdf, LookupIsClosedOnTheLeft) {
  const auto pdf = make({-1.0, 0.0, 1.0, 3.0}, {1.0, 2.0, 4.0}, true);
  EXPECT_EQ(pdf.lo(), -1.0);
  EXPECT_EQ(pdf.hi(), 3.0);
  const std::vector<std::pair<double, double>> expected{
      {-1.0, 1.0}, {-0.5, 1.0}, {0.0, 2.0}, {std::nextafter(0.0, -1.0), 1.0}, {0.999, 2.0}, {1.0, 2.0},
      {2.9, 2.0},  {3.0, 0.0},  {3.5, 0.0}, {std::nextafter(-1.0, -2.0), 0.0}, {kNaN, 0.0}, {-kInf, 0.0}};
  for (const auto& [x, value] : expected) {
    EXPECT_EQ(pdf.pdf(x), value) << x;
  }
}

// The bisection lookup must agree with the first-match scan over the bins.
TEST(HistogramPdf, LookupMatchesLinearScan) {
  const std::vector<double> edges{-3.0, -2.5, -1.0, 0.0, 1e-9, 0.5, 2.0, 7.0};
  const std::vector<double> counts{1.0, 0.0, 3.0, 2.0, 5.0, 0.5, 4.0};
  const auto pdf = make(edges, counts, false);
  for (double x = -3.5; x < 7.5; x += 0.0137) {
    double scanned = 0.0;
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
      if (edges[i] <= x && x < edges[i + 1]) {
        scanned = pdf.densities()[i];
        break;
      }
    }
    EXPECT_EQ(pdf.pdf(x), scanned) << x;
  }
}

TEST(HistogramPdf, UniformFromOneBin) {
  const auto model = IntegratedPdf<HistogramPdf>::build(make({0.0, 1.0}, {3.0}, false), 0.0, 1.0, kTol);
  ASSERT_TRUE(model);
  // The step to 0 at the last edge makes the integral fall short of 1.
  EXPECT_LE(model->norm(), 1.0);
  EXPECT_NEAR(model->norm(), 1.0, kStepError);
  EXPECT_NEAR(model->pdf().pdf(0.5) / model->norm(), 1.0, kStepError);
  EXPECT_EQ(model->pdf().pdf(1.0), 0.0);
}

TEST(HistogramPdf, ModesGiveTheSameDistribution) {
  const auto by_count = IntegratedPdf<HistogramPdf>::build(make({0.0, 1.0, 3.0}, {1.0, 1.0}, false), 0.0, 3.0, kTol);
  const auto by_density = IntegratedPdf<HistogramPdf>::build(make({0.0, 1.0, 3.0}, {1.0, 1.0}, true), 0.0, 3.0, kTol);
  ASSERT_TRUE(by_count && by_density);
  for (const double x : {0.5, 2.0}) {
    EXPECT_NEAR(by_count->pdf().pdf(x) / by_count->norm(), by_density->pdf().pdf(x) / by_density->norm(), kStepError);
  }
  EXPECT_NEAR(by_count->pdf().pdf(0.5) / by_count->norm(), 0.5, kStepError);
  EXPECT_NEAR(by_count->pdf().pdf(2.0) / by_count->norm(), 0.25, kStepError);
  EXPECT_NEAR(by_count->cdf(1.0), 0.5, kStepError);
}

TEST(HistogramPdf, EmptyBinLeavesTheCdfFlat) {
  const auto model =
      IntegratedPdf<HistogramPdf>::build(make({0.0, 1.0, 2.0, 3.0}, {1.0, 0.0, 1.0}, false), 0.0, 3.0, kTol);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->pdf().pdf(1.5), 0.0);
  EXPECT_NEAR(model->cdf(1.0), 0.5, kStepError);
  EXPECT_NEAR(model->cdf(2.0), 0.5, kStepError);
  EXPECT_NEAR(model->cdf(1.5), 0.5, kStepError);
}

}  // namespace
}  // namespace varlix
