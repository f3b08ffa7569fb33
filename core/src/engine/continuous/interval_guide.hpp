// The guide table of an interval partition of [starts[0], starts[m]] (Chen &
// Asau 1974, "On generating random variates from an empirical distribution"):
// entry k holds the interval that contains starts[0] + k * (range / entries),
// so a lookup is one multiplication and, on average, about one comparison.
// The guide holds several entries per interval: then nearly every entry's
// cell lies inside one interval, the search loops below almost never step,
// and the processor predicts them, so consecutive lookups overlap.
// The inversion methods (PINV, Hermite) locate their interpolation interval
// for a u value with it. The guide is rebuilt from the starts whenever a table
// is read back, so no stored guide can point out of bounds.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "memory.hpp"

namespace varlix {

class IntervalGuide {
 public:
  IntervalGuide() = default;

  // starts: m + 1 >= 2 non-decreasing values with starts[0] < starts[m].
  // Empty (and false) when it cannot be allocated.
  [[nodiscard]] bool build(std::span<const double> starts) {
    const std::size_t m = starts.size() - 1;
    const std::size_t size = std::max(m, std::min(m * kEntriesPerInterval, kMaxEntries));
    if (!try_resize(entries_, size)) return false;
    first_ = starts[0];
    scale_ = static_cast<double>(size) / (starts[m] - starts[0]);
    // (v - first) * scale may round up across a level: each entry is made
    // for its level lowered by far more than that rounding, so it never
    // points past the interval of any v in its cell and locate() only walks
    // forward.
    const double margin = kLevelMargin * (std::fabs(starts[0]) + std::fabs(starts[m]));
    std::size_t i = 0;
    for (std::size_t k = 0; k < size; ++k) {
      const double level = starts[0] + static_cast<double>(k) / scale_ - margin;
      while (i + 1 < m && starts[i + 1] <= level) ++i;
      entries_[k] = static_cast<std::uint32_t>(i);
    }
    return true;
  }

  // The guide's lookup data by value. A draw loop holds it in registers
  // across calls the compiler cannot see into (a bit generator's), after
  // which it would read the guide's members again.
  struct View {
    const std::uint32_t* entries;
    double last_cell;
    double first;
    double scale;

    // locate() below, over starts[0..m].
    [[nodiscard]] std::size_t locate(const double* starts, std::size_t m, double v) const {
      const double position = (v - first) * scale;
      std::size_t k = 0;
      if (position > 0.0) {
        // Bounded first, then through a signed integer: one instruction,
        // where a conversion to size_t takes a test.
        k = static_cast<std::size_t>(static_cast<std::int64_t>(std::min(position, last_cell)));
      }
      std::size_t i = entries[k];
      while (i + 1 < m && starts[i + 1] <= v) ++i;
      return i;
    }
  };
  [[nodiscard]] View view() const {
    return {entries_.data(), static_cast<double>(entries_.size() - 1), first_, scale_};
  }

  // The interval i with starts[i] <= v < starts[i + 1], or the last one
  // (first one) for v at or past the end (below the start); NaN is not
  // passed. Precondition: built from these starts.
  [[nodiscard]] std::size_t locate(std::span<const double> starts, double v) const {
    return view().locate(starts.data(), starts.size() - 1, v);
  }

  friend bool operator==(const IntervalGuide&, const IntervalGuide&) = default;

 private:
  // Sixteen entries per interval leave a boundary in about one cell in
  // sixteen of an even partition; more stop paying for their cache lines.
  static constexpr std::size_t kEntriesPerInterval = 16;
  // A quarter megabyte of entries at most: a table with more intervals than
  // this holds is in the outer caches anyway.
  static constexpr std::size_t kMaxEntries = std::size_t{1} << 16;
  // Relative to the magnitudes of the ends: a few hundred roundings.
  static constexpr double kLevelMargin = 1e-13;

  std::vector<std::uint32_t> entries_;
  double first_ = 0.0;
  double scale_ = 0.0;
};

}  // namespace varlix
