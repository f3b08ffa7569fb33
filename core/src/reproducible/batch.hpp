// The batch loop shared by the samplers: n draws in order into one vector.
// A long batch that calls no user code would otherwise be deaf to the
// caller's interrupts, so it asks a stop callback every few milliseconds.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "error.hpp"
#include "memory.hpp"
#include "stop_poll.hpp"

namespace varlix {

// Asked every few milliseconds of a batch (see stop_poll.hpp); true ends
// the batch with SampleError::interrupted(). Null: never asked. The core only
// calls it: what makes a stop (a pending signal, a deadline) is the caller's
// business.
using StopRequested = bool (*)();

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
  StopPoll poll;
  if (stop != nullptr) {
    poll = StopPoll([](void* asked) { return (*static_cast<StopRequested*>(asked))(); }, &stop);
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    if (poll()) return std::unexpected(SampleError::interrupted());
    const std::expected<double, SampleError> x = draw();
    if (!x) {
      return std::unexpected(x.error());
    }
    draws.push_back(*x);
  }
  return draws;
}

}  // namespace varlix
