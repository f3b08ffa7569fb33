#include "error.hpp"
#include "setup_error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace varlix {
namespace {

// Doubles of 2^53 and above have more exact digits than round-trip digits:
// the message must show the shortest digits padded with zeros, not the exact
// binary value.
TEST(ErrorTest, LargeDoublesShowShortestDigitsPositionally) {
  EXPECT_EQ(format_double(1e300), "1" + std::string(300, '0'));
  EXPECT_EQ(format_double(1e23), "1" + std::string(23, '0'));
  EXPECT_EQ(format_double(-1.7976931348623157e308), "-17976931348623157" + std::string(292, '0'));
  EXPECT_EQ(SampleError::quantile_out_of_range(1e300).message(),
            "quantile u=1" + std::string(300, '0') + " not in (0, 1)");
}

// Setup messages show values as Python's repr does: a tiny value is not a
// fixed-point string of hundreds of digits.
TEST(ErrorTest, ShortestFormReadsLikeRepr) {
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
