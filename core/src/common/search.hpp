// Inversion of a cumulative table, shared by the discrete distribution and
// the piece selection of the TDR hat.
#pragma once

#include <cstddef>
#include <span>

namespace varlix {

// The first index whose cumulative value exceeds u, or, on exact equality,
// the last index whose value equals u. Binary search keeping the largest
// index whose entry is <= u (0 when none is); it never reads past the end.
// The result is cumulative.size() only when every entry is below u.
// Precondition: cumulative is not empty (entry 0 is always read).
[[nodiscard]] inline std::size_t cumulative_index(std::span<const double> cumulative, double u) {
  std::size_t base = 0;
  std::size_t size = cumulative.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (cumulative[mid] <= u) base = mid;
    size -= half;
  }
  return cumulative[base] < u ? base + 1 : base;
}

}  // namespace varlix
