#include "setup_error.hpp"

#include "format_double.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace varlix {
namespace {

// Setup messages show values as Python's repr does: a tiny value is not a
// fixed-point string of hundreds of digits.
TEST(SetupErrorTest, ShortestFormReadsLikeRepr) {
  const struct {
    double value;
    const char* text;
  } cases[] = {{-1e-300, "-1e-300"}, {1e300, "1e+300"}, {0.25, "0.25"},   {2.0, "2.0"},
               {5e-324, "5e-324"},   {0.0, "0.0"},     {-0.0, "-0.0"},   {1.5e-5, "1.5e-05"}};
  for (const auto& c : cases) EXPECT_EQ(format_shortest(c.value), c.text) << c.text;
  EXPECT_EQ(SetupError::resolution_not_met(2.5e-9).message(),
            "u-resolution not reached within the interval limit (achieved 2.5e-09)");
  EXPECT_NE(SetupError::resolution_not_met(INFINITY).message().find("multiply the density by a constant"),
            std::string::npos);
  EXPECT_EQ(SetupError::bad_value(-2.5, -1e-300).message(),
            "function value -1e-300 at x = -2.5 is not a finite non-negative number");
}

}  // namespace
}  // namespace varlix
