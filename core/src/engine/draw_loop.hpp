// The batch form of a rejection sampler whose single draw can fail (its
// density failed, or the trial budget ran out): draws in order into the
// caller's array, stopping at the first failure.
#pragma once

#include <expected>
#include <span>

#include "setup_error.hpp"

namespace varlix {

// out[i] = draw() for each i in order; the first failure is returned and the
// rest of out is left as it was.
template <class Draw>
[[nodiscard]] std::expected<void, SetupError> fill_with_draws(std::span<double> out, Draw&& draw) {
  for (double& x : out) {
    const std::expected<double, SetupError> value = draw();
    if (!value) return std::unexpected(value.error());
    x = *value;
  }
  return {};
}

}  // namespace varlix
