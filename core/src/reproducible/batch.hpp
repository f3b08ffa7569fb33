// The batch loop shared by the samplers: n draws in order into one vector.
// A long batch that calls no user code would otherwise be deaf to the
// caller's interrupts, so it asks a stop callback between blocks of draws.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "error.hpp"
#include "memory.hpp"

namespace varlix {

// Asked between blocks of a batch; true ends the batch with
// SampleError::interrupted(). Null: never asked. The core only calls it: what
// makes a stop (a pending signal, a deadline) is the caller's business.
using StopRequested = bool (*)();

// Draws between two questions to StopRequested: a stop comes within tens of
// milliseconds even where a draw inverts a CDF by quadrature (about 0.1 ms a
// draw), and the question (an atomic load in the binding) is still too rare
// to measure beside the cheapest draws, a table lookup.
inline constexpr std::uint64_t kDrawsBetweenStopChecks = 256;

// n values of draw() in order: all of them, or the first failure. The storage
// is taken before the first draw, so a batch too large to hold is refused
// without drawing. A stop frees the draws made so far.
template <class Draw>
[[nodiscard]] std::expected<std::vector<double>, SampleError> collect_draws(std::uint64_t n, Draw&& draw,
                                                                            StopRequested stop = nullptr) {
  std::vector<double> draws;
  if (!try_reserve(draws, n)) {
    return std::unexpected(SampleError::out_of_memory());
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    if (stop != nullptr && i % kDrawsBetweenStopChecks == kDrawsBetweenStopChecks - 1 && stop()) {
      return std::unexpected(SampleError::interrupted());
    }
    const std::expected<double, SampleError> x = draw();
    if (!x) {
      return std::unexpected(x.error());
    }
    draws.push_back(*x);
  }
  return draws;
}

}  // namespace varlix
