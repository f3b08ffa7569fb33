// Doubles in messages: the shortest decimal that reads back to the same
// double, in positional notation (never an exponent), without a trailing
// ".0"; NaN, inf, -inf, -0 spelled so. Both faces show numbers this way.
#pragma once

#include <string>

namespace varlix {

[[nodiscard]] std::string format_double(double value);

}  // namespace varlix
