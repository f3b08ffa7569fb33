// Adaptive Simpson quadrature: call counts and order, exactness on
// polynomials, the forced-acceptance limit, and termination on non-finite
// integrands and exhausted budgets.
#include "continuous/integrate.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;
using special_values::kNaN;

constexpr double kDefaultTol = 1e-10;

// Records every point the integrator asks for.
template <class F>
struct Recorded {
  F f;
  std::vector<double>* calls;
  double operator()(double x) {
    calls->push_back(x);
    return f(x);
  }
};

template <class F>
double integrate_recorded(F f, double a, double b, double tol, std::vector<double>& calls) {
  return integrate_fn(Recorded<F>{f, &calls}, a, b, tol);
}

TEST(Integrate, EqualBoundsReturnZeroWithoutCalls) {
  std::vector<double> calls;
  for (const double x : {0.0, -3.5, kInf}) {
    EXPECT_EQ(integrate_recorded([](double) { return 1.0; }, x, x, kDefaultTol, calls), 0.0);
  }
  EXPECT_TRUE(calls.empty());
}

TEST(Integrate, ConstantIsAcceptedAtFirstExamination) {
  std::vector<double> calls;
  const double total = integrate_recorded([](double) { return 2.5; }, 1.0, 3.0, kDefaultTol, calls);
  EXPECT_NEAR(total, 5.0, 1e-15);
  // The initial estimate, then the left and right halves, each a, m, b.
  EXPECT_EQ(calls, (std::vector<double>{1.0, 2.0, 3.0, 1.0, 1.5, 2.0, 2.0, 2.5, 3.0}));
}

TEST(Integrate, ReversedBoundsNegateExactlyWithTheSameCalls) {
  const auto f = [](double x) { return std::exp(-x * x) * std::sin(3.0 * x) + 1.0; };
  std::vector<double> forward;
  std::vector<double> backward;
  const double there = integrate_recorded(f, -1.0, 2.0, 1e-12, forward);
  const double back = integrate_recorded(f, 2.0, -1.0, 1e-12, backward);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(-there));
  EXPECT_EQ(forward, backward);
  EXPECT_GT(forward.size(), 9u);
}

struct PolynomialCase {
  std::vector<double> coefficients;  // lowest degree first
  double a;
  double b;
  bool first_examination;  // degree <= 3: the two Simpson levels agree
};

double horner(const std::vector<double>& c, double x) {
  double value = 0.0;
  for (auto it = c.rbegin(); it != c.rend(); ++it) {
    value = value * x + *it;
  }
  return value;
}

double exact_integral(const std::vector<double>& c, double a, double b) {
  double total = 0.0;
  for (std::size_t k = 0; k < c.size(); ++k) {
    const double p = static_cast<double>(k + 1);
    total += c[k] * (std::pow(b, p) - std::pow(a, p)) / p;
  }
  return total;
}

class PolynomialExactness : public testing::TestWithParam<PolynomialCase> {};

// Boole's rule is exact up to degree 5, so the total is exact up to rounding
// whichever examination accepts it.
TEST_P(PolynomialExactness, MatchesClosedForm) {
  const auto& [c, a, b, first] = GetParam();
  std::vector<double> calls;
  const double total = integrate_recorded([&c](double x) { return horner(c, x); }, a, b, kDefaultTol, calls);
  const double exact = exact_integral(c, a, b);
  EXPECT_NEAR(total, exact, 1e-13 * std::max(1.0, std::abs(exact)));
  if (first) {
    EXPECT_EQ(calls.size(), 9u);
  }
}

INSTANTIATE_TEST_SUITE_P(DegreesZeroToFive, PolynomialExactness,
                         testing::Values(PolynomialCase{{4.0}, -2.0, 5.0, true},
                                         PolynomialCase{{1.0, -3.0}, 0.0, 1.0, true},
                                         PolynomialCase{{0.5, 2.0, -1.0}, -1.0, 2.0, true},
                                         PolynomialCase{{1.0, -2.0, 0.5, 3.0}, -1.5, 2.5, true},
                                         PolynomialCase{{0.0, 0.0, 0.0, 0.0, 1.0}, 0.0, 2.0, false},
                                         PolynomialCase{{1.0, 1.0, -1.0, 2.0, -0.5, 0.25}, -2.0, 3.0, false}));

// x = 0 alone has value 0 and tol = 0, so every interval [0, w] disagrees
// with its halves and is split through left halves, one entry deeper each
// time, until 49 entries wait beneath it: 50 examinations of [0, 2^-k]
// (k = 0..49), 49 of the constant right halves, 3 + 6 * 99 calls.
TEST(Integrate, ForcedAcceptanceCountsWaitingIntervals) {
  std::vector<double> calls;
  const double total = integrate_recorded([](double x) { return x > 0.0 ? 1.0 : 0.0; }, 0.0, 1.0, 0.0, calls);
  EXPECT_EQ(calls.size(), 3u + 6u * 99u);
  EXPECT_NEAR(total, 1.0, 1e-14);
}

// A jump at the upper bound is approached through a run of right halves,
// which never reaches the waiting limit; the run ends when the interval is
// two adjacent doubles and the midpoint rounds to one end: 54 examinations of
// [1 - 2^-k, 1] (k = 0..53) and 53 of the zero left halves.
TEST(Integrate, RightHalfRunEndsAtAdjacentDoubles) {
  std::vector<double> calls;
  const double total = integrate_recorded([](double x) { return x < 1.0 ? 0.0 : 1.0; }, 0.0, 1.0, 0.0, calls);
  EXPECT_EQ(calls.size(), 3u + 6u * 107u);
  EXPECT_LT(std::abs(total), 1e-15);
}

struct NonFiniteCase {
  const char* name;
  double (*f)(double);
  double a;
  double b;
};

// Refining an interval whose estimate is not finite never meets the
// tolerance, and with the bad value at a right end it would never reach the
// waiting limit either; the integration must still end, reporting a
// non-finite total.
class NonFiniteEnds : public testing::TestWithParam<NonFiniteCase> {};

TEST_P(NonFiniteEnds, ReturnsNonFinitePromptly) {
  const auto& c = GetParam();
  std::vector<double> calls;
  const double total = integrate_recorded(c.f, c.a, c.b, kDefaultTol, calls);
  EXPECT_FALSE(std::isfinite(total)) << total;
  EXPECT_LT(calls.size(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonFiniteEnds,
    testing::Values(NonFiniteCase{"NanAtUpperBound", [](double x) { return x == 1.0 ? kNaN : x; }, 0.0, 1.0},
                    NonFiniteCase{"InfAtInteriorPoint", [](double x) { return x == 0.5 ? kInf : 1.0; }, 0.0, 1.0},
                    NonFiniteCase{"InfReachedFromTheLeft", [](double x) { return x == 0.75 ? kInf : 1.0; }, 0.0,
                                  1.0},
                    NonFiniteCase{"NanEverywhere", [](double) { return kNaN; }, -1.0, 1.0},
                    NonFiniteCase{"NanUpperBound", [](double x) { return x; }, 0.0, kNaN},
                    NonFiniteCase{"NanLowerBound", [](double x) { return x; }, kNaN, 1.0},
                    NonFiniteCase{"InfiniteBound", [](double) { return 1.0; }, 0.0, kInf}),
    [](const auto& instance) { return std::string(instance.param.name); });

// A cheap integrand whose estimates never agree (a pseudo-random bit of its
// argument) refines forever under tol = 0; the budget stops it with NaN
// without passing the call limit.
TEST(Integrate, BudgetStopsHopelessRefinement) {
  std::uint64_t calls = 0;
  const auto noise = [&calls](double x) {
    ++calls;
    const std::uint64_t h = std::bit_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull;
    return static_cast<double>(h >> 63);
  };
  EXPECT_TRUE(std::isnan(integrate_fn(noise, 0.0, 1.0, 0.0)));
  EXPECT_LE(calls, kIntegrationBudget);
  EXPECT_GT(calls, kIntegrationBudget - 6);
}

}  // namespace
}  // namespace varlix
