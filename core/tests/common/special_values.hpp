// The non-finite doubles the tests feed to the core.
#pragma once

#include <limits>

namespace varlix::special_values {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace varlix::special_values
