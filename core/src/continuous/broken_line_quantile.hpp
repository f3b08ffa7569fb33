// The quantile function of a piecewise-uniform law (a histogram): the broken
// line through (C_i, e_i), C_i the mass left of edge e_i, read at u by a
// binary search and one linear interpolation. Levels ascending, first 0 and
// last 1 (or within rounding of it), knots as many; flat runs of the CDF
// already reduced to one knot by the caller.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace varlix {

[[nodiscard]] inline double broken_line_quantile(std::span<const double> levels, std::span<const double> knots,
                                                 double u) {
  if (levels.size() == 1 || u <= levels.front()) return knots.front();
  if (u >= levels.back()) return knots.back();
  // levels[i - 1] < u <= levels[i]
  const std::size_t i =
      static_cast<std::size_t>(std::lower_bound(levels.begin(), levels.end(), u) - levels.begin());
  const double t = (u - levels[i - 1]) / (levels[i] - levels[i - 1]);
  return knots[i - 1] + t * (knots[i] - knots[i - 1]);
}

}  // namespace varlix
