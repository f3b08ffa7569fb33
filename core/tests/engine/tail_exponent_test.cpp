// The tail exponent read from shell masses: power laws (with an oscillating
// factor), tails lighter than any power, a compact support, and a function
// that fails far out.
#include "continuous/tail_exponent.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "special_values.hpp"

namespace varlix {
namespace {

using special_values::kInf;

struct PowerCase {
  const char* name;
  double (*f)(double);
  double anchor;
  double direction;
  double alpha;
};

// Within a hundredth: the convergence margin of the moments is 0.02.
constexpr double kExponentTolerance = 1e-2;

TEST(TailExponent, PowerLawsOnEitherSide) {
  const PowerCase cases[] = {
      {"cauchy right", [](double x) { return 1.0 / (1.0 + x * x); }, 3.0, 1.0, 2.0},
      {"cauchy left", [](double x) { return 1.0 / (1.0 + x * x); }, -3.0, -1.0, 2.0},
      {"t(2) with cos", [](double x) { return (2.0 + std::cos(x)) * std::pow(1.0 + x * x, -1.5); }, 5.0, 1.0, 3.0},
      {"t(2) with cos, left", [](double x) { return (2.0 + std::cos(x)) * std::pow(1.0 + x * x, -1.5); }, -5.0, -1.0,
       3.0},
      {"levy", [](double x) { return std::exp(-0.5 / x) * std::pow(x, -1.5); }, 40.0, 1.0, 1.5},
      {"pareto 2.5", [](double x) { return std::pow(x, -3.5); }, 2.0, 1.0, 3.5},
      {"t(5)", [](double x) { return std::pow(1.0 + x * x / 5.0, -3.0); }, 4.0, 1.0, 6.0},
  };
  for (const PowerCase& c : cases) {
    const auto alpha = tail_exponent(c.f, c.anchor, c.direction, 1.0);
    ASSERT_TRUE(alpha.has_value()) << c.name;
    EXPECT_NEAR(*alpha, c.alpha, kExponentTolerance) << c.name;
  }
}

TEST(TailExponent, LighterThanEveryPowerIsInfinite) {
  const auto normal = [](double x) { return std::exp(-0.5 * x * x); };
  const auto slow_exp = [](double x) { return std::exp(-x / 1e6); };
  const auto lognormal = [](double x) { return std::exp(-0.5 * std::pow(std::log(x), 2)) / x; };
  const auto box = [](double x) { return std::abs(x) < 10.0 ? 1.0 : 0.0; };
  EXPECT_EQ(tail_exponent(normal, 3.0, 1.0, 1.0).value(), kInf);
  EXPECT_EQ(tail_exponent(normal, -3.0, -1.0, 1.0).value(), kInf);
  EXPECT_EQ(tail_exponent(slow_exp, 1e7, 1.0, 1e6).value(), kInf);
  EXPECT_GT(tail_exponent(lognormal, 20.0, 1.0, 2.0).value(), 20.0);
  EXPECT_EQ(tail_exponent(box, 5.0, 1.0, 1.0).value(), kInf);
}

// A Gumbel density whose exp overflows on the far left: the walk stops at
// the first NaN, after the mass has already underflowed to zero.
TEST(TailExponent, AFailureFarOutEndsTheWalk) {
  const auto gumbel = [](double x) {
    const double e = std::exp(-x);
    return std::isinf(e) ? std::numeric_limits<double>::quiet_NaN() : std::exp(-x - e);
  };
  EXPECT_EQ(tail_exponent(gumbel, -3.0, -1.0, 1.0).value(), kInf);
  // A power law that fails after a few shells cannot be read: unknown.
  const auto short_lived = [](double x) {
    return x > 100.0 ? std::numeric_limits<double>::quiet_NaN() : 1.0 / (1.0 + x * x);
  };
  EXPECT_TRUE(std::isnan(tail_exponent(short_lived, 1.0, 1.0, 1.0).value()));
}

}  // namespace
}  // namespace varlix
