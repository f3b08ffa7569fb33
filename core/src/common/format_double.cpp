#include "format_double.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace varlix {

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // The shortest round-trip digits come from the scientific form and are then
  // written out positionally. to_chars in fixed notation would print every
  // digit of a large double's exact value instead (1e300 as 1000000000000000052...),
  // not the shortest digits padded with zeros.
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, result.ptr);  // [-]d[.ddd]e(+|-)dd[d]
  const std::size_t e = text.find('e');
  const char* exponent_begin = text.data() + e + 1;
  if (*exponent_begin == '+') ++exponent_begin;  // from_chars takes no plus sign
  int exponent = 0;
  std::from_chars(exponent_begin, result.ptr, exponent);

  const bool negative = text.front() == '-';
  std::string digits;
  for (const char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits.push_back(c);
  }
  // Digits before the decimal point; none (a leading "0.") below 1.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  std::string out = negative ? "-" : "";
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

std::string format_shortest(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string out(buffer, result.ptr);
  // Python spells an integral float with ".0" and the exponent with two digits at least.
  const std::size_t e = out.find('e');
  if (e == std::string::npos) {
    if (out.find('.') == std::string::npos) out += ".0";
  } else if (out.size() - e == 3) {
    out.insert(e + 2, "0");
  }
  return out;
}

}  // namespace varlix
