// The names BuildOptions accepts for a TDR transform.
#pragma once

#include <optional>
#include <string_view>

#include <continuous/tdr.hpp>

namespace varlix::py {

// "log", "inv_sqrt", "inv-sqrt" or "invsqrt" in any ASCII case; otherwise
// absent with ValueError pending.
[[nodiscard]] std::optional<TdrTransform> parse_tdr_transform(std::string_view text);

}  // namespace varlix::py
