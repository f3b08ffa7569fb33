#include "tdr_transform.hpp"

#include <string>

#include <binding/error.hpp>

namespace varlix::py {

std::optional<TdrTransform> parse_tdr_transform(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lowered == "inv_sqrt" || lowered == "inv-sqrt" || lowered == "invsqrt") return TdrTransform::InvSqrt;
  if (lowered == "log") return TdrTransform::Log;
  set_error(PyExc_ValueError, "unknown TDR transform '" + lowered + "', expected 'log' or 'inv_sqrt'");
  return std::nullopt;
}

}  // namespace varlix::py
