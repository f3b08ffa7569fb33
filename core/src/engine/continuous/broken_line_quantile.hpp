// The quantile function of a piecewise-uniform law (a histogram): the broken
// line through (C_i, e_i), C_i the mass left of edge e_i, read at u through a
// guide table (Chen & Asau 1974) and one linear interpolation. Levels are
// non-decreasing from 0 to the total; a run of empty bins appears as a
// repeated level, where the quantile jumps; at the level itself it takes the
// right end, as NumPy's interp does.
#pragma once

#include <cstddef>
#include <span>

#include "continuous/interval_guide.hpp"

namespace varlix {

class BrokenLineQuantile {
 public:
  // levels and knots of equal length >= 2, levels[0] < levels.back(); both
  // must outlive this object. False when the guide cannot be allocated.
  [[nodiscard]] bool build(std::span<const double> levels, std::span<const double> knots) {
    levels_ = levels;
    knots_ = knots;
    return guide_.build(levels);
  }

  [[nodiscard]] double operator()(double u) const {
    if (u <= levels_.front()) return knots_.front();
    if (u >= levels_.back()) return knots_.back();
    // levels[i] <= u < levels[i + 1]
    const std::size_t i = guide_.locate(levels_, u);
    const double t = (u - levels_[i]) / (levels_[i + 1] - levels_[i]);
    return knots_[i] + t * (knots_[i + 1] - knots_[i]);
  }

 private:
  std::span<const double> levels_;
  std::span<const double> knots_;
  IntervalGuide guide_;
};

}  // namespace varlix
