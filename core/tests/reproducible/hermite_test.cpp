// Hermite inverse-CDF table: node placement, interpolation at and between the
// knots, monotonicity, the slope rules and limiter, and refusal of grids too
// large to allocate.
#include "continuous/hermite.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kNaN;

constexpr std::uint32_t kIterations = 128;
constexpr double kPpfTol = 1e-12;

using Fn = double (*)(double);

struct ClosedCdf {
  Fn f;
  mutable int calls = 0;
  double cdf(double x) const {
    ++calls;
    return f(x);
  }
};

const ClosedCdf kUniform{[](double x) { return x; }};

HermitePpfTable build(const ClosedCdf& cdf, std::uint64_t grid, double lo = 0.0, double hi = 1.0) {
  auto table = HermitePpfTable::build(cdf, grid, kIterations, lo, hi, kPpfTol);
  EXPECT_TRUE(table);
  return *std::move(table);
}

class SmallGrids : public testing::TestWithParam<std::uint64_t> {};

TEST_P(SmallGrids, FourNodesAtFixedLevels) {
  const auto table = build(kUniform, GetParam());
  const std::vector<double> expected{1e-12, (1.0 / 3.0) * 0.999999999998 + 1e-12,
                                     (2.0 / 3.0) * 0.999999999998 + 1e-12, 0.999999999998 + 1e-12};
  EXPECT_EQ(std::vector(table.u_knots().begin(), table.u_knots().end()), expected);
  EXPECT_EQ(table.x_values().size(), 4u);
  EXPECT_EQ(table.slopes().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(GridSizes, SmallGrids, testing::Values(0, 1, 2, 3, 4));

TEST(HermiteTable, UniformInterpolatesIdentity) {
  const auto table = build(kUniform, 11);
  ASSERT_EQ(table.u_knots().size(), 11u);
  for (std::size_t k = 0; k < 11; ++k) {
    EXPECT_NEAR(table.x_values()[k], table.u_knots()[k], kPpfTol);
    EXPECT_NEAR(table.slopes()[k], 1.0, 1e-9);
  }
  for (double u = 0.001; u < 1.0; u += 0.00731) {
    EXPECT_NEAR(table.eval(u), u, 1e-11) << u;
  }
}

TEST(HermiteTable, ExactAtTheKnotsAndBeyondTheEnds) {
  const auto table = build(ClosedCdf{[](double x) { return std::sqrt(x); }}, 9, 0.0, 1.0);
  const auto u = table.u_knots();
  const auto x = table.x_values();
  EXPECT_EQ(table.eval(u.front()), x.front());
  EXPECT_EQ(table.eval(u.front() / 2.0), x.front());
  EXPECT_EQ(table.eval(u.back()), x.back());
  EXPECT_EQ(table.eval(std::nextafter(1.0, 0.0)), x.back());
  // An interior knot is the right end of the interval before it (t = 1).
  for (std::size_t k = 1; k + 1 < u.size(); ++k) {
    EXPECT_EQ(table.eval(u[k]), x[k]) << k;
  }
  EXPECT_TRUE(std::isnan(table.eval(kNaN)));
}

// The exponential distribution cut at 5: strictly increasing node values give
// a strictly increasing interpolant, inside the support.
TEST(HermiteTable, StrictlyMonotoneForStrictlyIncreasingNodes) {
  const ClosedCdf cut_exponential{[](double x) { return (1.0 - std::exp(-x)) / (1.0 - std::exp(-5.0)); }};
  const auto table = build(cut_exponential, 16, 0.0, 5.0);
  double previous = table.eval(1e-6);
  for (double u = 1e-6 + 1e-4; u < 1.0; u += 1e-4) {
    const double x = table.eval(u);
    EXPECT_GT(x, previous) << u;
    EXPECT_GE(x, 0.0);
    EXPECT_LE(x, 5.0);
    previous = x;
  }
  for (std::size_t k = 0; k < table.u_knots().size(); ++k) {
    EXPECT_NEAR(cut_exponential.f(table.x_values()[k]), table.u_knots()[k], kPpfTol);
  }
}

// A CDF jump of 0.5 at x = 0.5: the nodes in (0.25, 0.75) all sit at 0.5, and
// the pieces between them stay there.
TEST(HermiteTable, CdfJumpGivesConstantPiece) {
  const ClosedCdf jump{[](double x) { return x < 0.5 ? 0.5 * x : 0.5 * x + 0.5; }};
  const auto table = build(jump, 9);
  double previous = -1.0;
  for (double u = 0.001; u < 1.0; u += 0.001) {
    const double x = table.eval(u);
    EXPECT_GE(x, previous) << u;
    previous = x;
    if (u > 0.38 && u < 0.62) {
      EXPECT_NEAR(x, 0.5, 1e-15) << u;
    }
  }
}

// A span that is not positive fails every inversion: each node falls back to
// the straight line across the support, without an error.
TEST(HermiteTable, FailedInversionFallsBackToStraightLine) {
  const auto table = build(ClosedCdf{[](double) { return 0.5; }}, 5, -2.0, 6.0);
  for (std::size_t k = 0; k < 5; ++k) {
    const double t = static_cast<double>(k) / 4.0;
    EXPECT_EQ(table.x_values()[k], t * (6.0 - -2.0) + -2.0);
  }
}

TEST(HermiteTable, GridTooLargeIsRefusedBeforeAnyCdfCall) {
  // Sizes beyond what a vector can address; a merely huge one would make a
  // sanitizer build abort inside operator new instead of failing it.
  for (const std::uint64_t grid : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 61}) {
    const ClosedCdf cdf{[](double x) { return x; }};
    const auto table = HermitePpfTable::build(cdf, grid, kIterations, 0.0, 1.0, kPpfTol);
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error(), BuildError::out_of_memory());
    EXPECT_EQ(cdf.calls, 0);
  }
}

struct SlopeCase {
  const char* name;
  std::vector<double> knots;
  std::vector<double> values;
  std::vector<double> slopes;
};

class MonotoneSlopes : public testing::TestWithParam<SlopeCase> {};

TEST_P(MonotoneSlopes, KnownSlopes) {
  const auto& c = GetParam();
  EXPECT_EQ(monotone_slopes(c.knots, c.values), c.slopes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonotoneSlopes,
    testing::Values(
        // Interior slope: harmonic mean of the secants 1 and 2.
        SlopeCase{"HarmonicMean", {0.0, 1.0, 3.0}, {0.0, 1.0, 5.0}, {1.0, 2.0 / (1.0 + 0.5), 2.0}},
        SlopeCase{"TwoKnots", {0.0, 2.0}, {1.0, 4.0}, {1.5, 1.5}},
        // Equal node values between positive secants: zero slope at both ends
        // of the flat piece.
        SlopeCase{"FlatStretch", {0.0, 1.0, 2.0, 3.0}, {0.0, 1.0, 1.0, 2.0}, {1.0, 0.0, 0.0, 1.0}},
        SlopeCase{"LocalMaximum", {0.0, 1.0, 2.0}, {0.0, 1.0, 0.0}, {1.0, 0.0, -1.0}},
        // Coincident knots have no secant: it counts as 0.
        SlopeCase{"CoincidentKnots", {0.0, 0.0, 1.0}, {0.0, 5.0, 6.0}, {0.0, 0.0, 1.0}}),
    [](const auto& instance) { return std::string(instance.param.name); });

// Initial slopes 3 on secants 1: the first interval has alpha = beta = 3 and
// both slopes shrink by 3 / sqrt(18); the second sees the reduced left slope
// 3 / sqrt(2) and shrinks by 3 / sqrt(13.5).
TEST(LimitMonotoneSlopes, LeftToRightWithReducedSlopes) {
  const std::vector<double> knots{0.0, 1.0, 2.0};
  const std::vector<double> values{0.0, 1.0, 2.0};
  std::vector<double> slopes{3.0, 3.0, 3.0};
  limit_monotone_slopes(knots, values, slopes);
  EXPECT_NEAR(slopes[0], 3.0 / std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(slopes[1], std::sqrt(3.0), 1e-15);
  EXPECT_NEAR(slopes[2], std::sqrt(6.0), 1e-15);
}

TEST(LimitMonotoneSlopes, BoundaryAndFlatIntervalsUntouched) {
  const std::vector<double> knots{0.0, 1.0, 2.0, 3.0};
  const std::vector<double> values{0.0, 1.0, 1.0, 1.0};
  // alpha^2 + beta^2 = 9 exactly on the first interval; the others are flat.
  std::vector<double> slopes{3.0, 0.0, 7.0, 7.0};
  limit_monotone_slopes(knots, values, slopes);
  EXPECT_EQ(slopes, (std::vector<double>{3.0, 0.0, 7.0, 7.0}));
}

}  // namespace
}  // namespace varlix
