// The density-free parts of the transformed-density-rejection hat: the
// candidate grid, the envelope geometry of the `Log` hat and the draw from it.
// See tdr.hpp.
#include "continuous/tdr.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include "search.hpp"

namespace varlix {
namespace {

// The two extra candidates sit this fraction of the width inside the ends, so
// that the outermost tangents touch the density right where the hat begins.
constexpr double kTdrEndOffset = 1e-12;
// Candidates closer than this to the previous one add a nearly parallel
// tangent whose breakpoint is lost in rounding.
constexpr double kTdrMinSpacing = 1e-12;
// Tangents whose slopes differ by less than this are taken as parallel: their
// intersection is meaningless.
constexpr double kTdrParallelSlopes = 1e-14;
// Below this slope a piece is integrated and inverted as flat; the
// exponential formulas would divide by a vanishing slope.
constexpr double kTdrFlatSlope = 1e-12;

}  // namespace

namespace detail {

std::expected<std::vector<double>, BuildError> tdr_log_candidates(double lo, double hi, std::uint64_t n) {
  std::vector<double> points;
  if (!try_reserve(points, n + 2)) {
    return std::unexpected(BuildError::out_of_memory());
  }
  const double cells = static_cast<double>(n);
  for (std::uint64_t j = 0; j < n; ++j) {
    points.push_back(lo + (static_cast<double>(j) + 0.5) / cells * (hi - lo));
  }
  const double t = (hi - lo) * kTdrEndOffset;
  points.push_back(lo + t);
  points.push_back(hi - t);
  std::erase_if(points, [lo, hi](double x) { return !(std::isfinite(x) && lo < x && x < hi); });
  std::stable_sort(points.begin(), points.end());
  std::size_t kept = 0;
  for (const double x : points) {
    if (kept == 0 || !(x - points[kept - 1] < kTdrMinSpacing)) {
      points[kept++] = x;
    }
  }
  points.resize(kept);
  return points;
}

}  // namespace detail

std::pair<double, double> TdrHat::piece_bounds(std::size_t k) const {
  const double left = k == 0 ? opts_.support.first : breakpoints_[k - 1];
  const double right = k + 1 == xs_.size() ? opts_.support.second : breakpoints_[k];
  return {left, right};
}

std::expected<void, BuildError> TdrHat::complete_log_hat() {
  const std::size_t m = xs_.size();
  // All storage first, so that a hat too large to hold fails before any work.
  if (!try_reserve(breakpoints_, m - 1) || !try_reserve(areas_, m) || !try_reserve(cdf_, m)) {
    return std::unexpected(BuildError::out_of_memory());
  }
  if (auto done = intersect_tangents(); !done) {
    return done;
  }
  if (auto done = integrate_pieces(); !done) {
    return done;
  }
  return accumulate_areas();
}

// Neighbouring tangents meet at the breakpoints; they must come in order.
std::expected<void, BuildError> TdrHat::intersect_tangents() {
  const auto [lo, hi] = opts_.support;
  for (std::size_t k = 0; k + 1 < xs_.size(); ++k) {
    const double s0 = slopes_[k];
    const double s1 = slopes_[k + 1];
    if (std::abs(s0 - s1) < kTdrParallelSlopes) {
      return std::unexpected(BuildError::tdr_build_failed());
    }
    const double z = ((log_values_[k + 1] - log_values_[k]) + s0 * xs_[k] - s1 * xs_[k + 1]) / (s0 - s1);
    if (!std::isfinite(z)) {
      return std::unexpected(BuildError::tdr_build_failed());
    }
    breakpoints_.push_back(std::clamp(z, lo, hi));
  }
  // Equal neighbours are accepted here; the empty piece between them then
  // fails the area test of integrate_pieces.
  if (std::adjacent_find(breakpoints_.begin(), breakpoints_.end(), std::greater<>()) != breakpoints_.end()) {
    return std::unexpected(BuildError::tdr_build_failed());
  }
  return {};
}

// The area under exp(tangent) on each piece; every one finite and positive.
std::expected<void, BuildError> TdrHat::integrate_pieces() {
  for (std::size_t i = 0; i < xs_.size(); ++i) {
    const auto [left, right] = piece_bounds(i);
    const double s = slopes_[i];
    const double intercept = log_values_[i] - xs_[i] * s;
    const double area = std::abs(s) < kTdrFlatSlope
                            ? std::exp(intercept) * (right - left)
                            : (std::exp(s * right) - std::exp(s * left)) * (std::exp(intercept) / s);
    if (!(std::isfinite(area) && area > 0.0)) {
      return std::unexpected(BuildError::tdr_build_failed());
    }
    areas_.push_back(area);
  }
  return {};
}

// The cumulative table of the normalized areas, from which a draw picks its
// piece.
std::expected<void, BuildError> TdrHat::accumulate_areas() {
  double total = -0.0;
  for (const double area : areas_) {
    total += area;
  }
  if (!(std::isfinite(total) && total > 0.0)) {
    return std::unexpected(BuildError::tdr_build_failed());
  }
  double running = 0.0;
  for (const double area : areas_) {
    running += area / total;
    cdf_.push_back(running);
  }
  // The last piece absorbs the rounding of the running sum.
  cdf_.back() = 1.0;
  return {};
}

std::expected<double, SampleError> TdrHat::sample_from_hat(Rng& rng) const {
  const auto [lo, hi] = opts_.support;
  const double u = standard_uniform(rng);
  const std::size_t k = std::min(cumulative_index(cdf_, u), cdf_.size() - 1);
  const auto [left, right] = piece_bounds(k);
  const double s = slopes_[k];
  const double w = standard_uniform(rng);
  double x;
  if (std::abs(s) < kTdrFlatSlope) {
    x = (right - left) * w + left;
  } else {
    // On the piece the hat is proportional to exp(s x): invert its CDF. The
    // intercept cancels; exp(s * left) is needed twice and computed once.
    const double at_left = std::exp(s * left);
    x = std::log((std::exp(s * right) - at_left) * w + at_left) / s;
  }
  if (!std::isfinite(x)) {
    return std::unexpected(SampleError::tdr_sample_failed());
  }
  return std::clamp(x, lo, hi);
}

double TdrHat::hat_log(double x) const {
  const auto k = static_cast<std::size_t>(
      std::upper_bound(breakpoints_.begin(), breakpoints_.end(), x) - breakpoints_.begin());
  return log_values_[k] - slopes_[k] * xs_[k] + x * slopes_[k];
}

}  // namespace varlix
