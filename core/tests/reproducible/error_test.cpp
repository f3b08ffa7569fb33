#include "error.hpp"

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

}  // namespace
}  // namespace varlix
