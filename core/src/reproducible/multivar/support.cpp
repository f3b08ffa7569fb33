#include "multivar/support.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace varlix {

namespace {

// Bounds up to this magnitude keep every intermediate of mirror_modulo finite:
// the period stays below max/2 and a reduced coordinate within max/2 + max/8.
constexpr double kUnscaledBoundLimit = std::numeric_limits<double>::max() / 8.0;
// Larger boxes are folded in coordinates divided by 8, exact for such values.
constexpr double kFoldScale = 8.0;

// Mirroring is periodic with period 2w in y: y and fmod(y, 2w) have the same
// image. fmod is exact, so the reduction adds no rounding; what remains is at
// most two mirrors with the usual arithmetic, applied to the excess beyond the
// bound reduced once more (the box need not lie near the origin).
double mirror_modulo(double y, double lo, double hi) {
  const double period = 2.0 * (hi - lo);
  double z = std::fmod(y, period);
  if (z > hi) {
    z = hi - std::fmod(z - hi, period);
    if (z < lo) z = lo + (lo - z);
  } else if (z < lo) {
    z = lo + std::fmod(lo - z, period);
    if (z > hi) z = hi - (z - hi);
  }
  // The excess left after the reduction is below 2w, but the subtractions
  // round: keep the result in the closed box whatever the last bit says.
  return std::clamp(z, lo, hi);
}

}  // namespace

std::expected<HyperRect, BuildError> HyperRect::build(std::vector<double> lo, std::vector<double> hi) {
  if (lo.empty() || hi.empty()) return std::unexpected(BuildError::invalid_support("hyper-rect cannot be empty"));
  if (lo.size() != hi.size()) {
    return std::unexpected(BuildError::invalid_support("hyper-rect lo/hi must have same dimension"));
  }
  for (std::size_t i = 0; i < lo.size(); ++i) {
    if (!std::isfinite(lo[i]) || !std::isfinite(hi[i])) {
      return std::unexpected(BuildError::non_finite("hyper-rect bounds"));
    }
    if (lo[i] >= hi[i]) return std::unexpected(BuildError::invalid_support("each lo must be < hi"));
  }
  return HyperRect(std::move(lo), std::move(hi));
}

std::expected<HyperRect, BuildError> copy_validated(const HyperRect& box) {
  std::vector<double> lo;
  std::vector<double> hi;
  if (!try_reserve(lo, box.lo().size()) || !try_reserve(hi, box.hi().size())) {
    return std::unexpected(BuildError::out_of_memory());
  }
  lo.assign(box.lo().begin(), box.lo().end());
  hi.assign(box.hi().begin(), box.hi().end());
  return HyperRect::build(std::move(lo), std::move(hi));
}

double fold_far_coordinate(double y, double lo, double hi) {
  if (std::max(std::fabs(lo), std::fabs(hi)) <= kUnscaledBoundLimit) return mirror_modulo(y, lo, hi);
  // Here |lo| or |hi| is huge, so the width is at least that bound's rounding
  // unit and survives the division.
  const double folded = mirror_modulo(y / kFoldScale, lo / kFoldScale, hi / kFoldScale);
  return std::clamp(folded * kFoldScale, lo, hi);
}

std::expected<PointBatch, SampleError> PointBatch::with_capacity(std::uint64_t count, std::size_t dim) {
  PointBatch batch(dim);
  if (dim != 0 && count > batch.values_.max_size() / dim) return std::unexpected(SampleError::out_of_memory());
  if (!try_reserve(batch.values_, static_cast<std::size_t>(count) * dim)) {
    return std::unexpected(SampleError::out_of_memory());
  }
  return batch;
}

}  // namespace varlix
