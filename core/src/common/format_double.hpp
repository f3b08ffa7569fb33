// Doubles in messages, always the shortest decimal that reads back to the
// same double.
#pragma once

#include <string>

namespace varlix {

// In positional notation (never an exponent), without a trailing ".0";
// NaN, inf, -inf, -0 spelled so: every double _varlix shows.
[[nodiscard]] std::string format_double(double value);

// Shortest decimal that reads back to the same double, in the shorter of the
// positional and the exponent form, as Python's repr writes it (1e-300,
// 0.25, 1e+300, nan, inf). The generators' setup messages use it: a tiny or
// huge value is not a string of hundreds of zeros.
[[nodiscard]] std::string format_shortest(double value);

}  // namespace varlix
