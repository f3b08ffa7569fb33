// Transformed density rejection on a finite interval (Hörmann 1995, "A
// rejection technique for sampling from T-concave distributions"; Gilks &
// Wild 1992 for the log transform).
//
// The right tool for many draws from one smooth density: all density work but
// one call per proposal is done once, when the hat is built.
//  - `Log`: the hat is exp of the upper envelope of tangents to ln f at a grid
//    of construction points. It is a hat only when f is log-concave; a
//    proposal found above it proves otherwise and fails the draw rather than
//    return a value from the wrong law.
//  - `InvSqrt`: no tangents; the hat is the constant M, the largest density
//    value at the midpoints of a grid, without a safety factor. A density
//    that peaks between midpoints exceeds M there and is sampled with a small
//    bias: a deliberate trade of exactness for robustness.
//
// The density handed in is the distribution's normalized density and is only
// evaluated inside [lo, hi]. Every uniform is a StandardUniform draw; a `Log`
// trial takes two or three, an `InvSqrt` trial one or two, so a seeded
// generator reproduces every draw.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "continuous/cdf.hpp"
#include "continuous/dpdf.hpp"
#include "continuous/traits.hpp"
#include "error.hpp"
#include "memory.hpp"
#include "random.hpp"

namespace varlix {

enum class TdrTransform : std::uint8_t { Log, InvSqrt };

// Requests above this are refused with TdrBuildFailed. A million points is far
// beyond what any hat needs (the acceptance rate is already near 1 at a few
// dozen) and costs a few million density calls and tens of megabytes, so the
// limit only stops counts that would exhaust memory or time.
inline constexpr std::uint64_t kMaxTdrConstructionPoints = 1'000'000;

// The `InvSqrt` grid never has fewer cells than this.
inline constexpr std::uint64_t kTdrMinBoxCells = 32;
// Fewer tangents than this cannot bound a density usefully.
inline constexpr std::uint64_t kTdrMinLogPoints = 4;
// A log-density above its hat by more than this proves the hat invalid. Hats
// built with the numerical derivative can fall short by ~1e-9 on smooth
// log-concave densities (the logistic), so the threshold stays well above.
inline constexpr double kTdrHatViolation = 1e-6;

struct TdrOptions {
  std::pair<double, double> support{0.0, 1.0};
  std::uint64_t construction_points = 30;
  std::uint64_t max_trials = 100000;  // proposals per draw; 0 acts as 1
  TdrTransform transform = TdrTransform::Log;
};

class TdrHat {
 public:
  // The density and the derivative must both carry exactly opts.support.
  template <class P, class D>
    requires Pdf<P> && Supported<P> && Dpdf<D> && Supported<D>
  [[nodiscard]] static std::expected<TdrHat, BuildError> try_build(const P& pdf, const D& dpdf,
                                                                   const TdrOptions& opts);

  // One draw of the normalized density `pdf` the hat was built from.
  template <Pdf P>
  [[nodiscard]] std::expected<double, SampleError> sample_with_rng(const P& pdf, Rng& rng) const;

  // One draw from the normalized hat; `Log` hat only.
  [[nodiscard]] std::expected<double, SampleError> sample_from_hat(Rng& rng) const;

  // The log-hat at x; `Log` hat only. x on a breakpoint belongs to the piece
  // on its right.
  [[nodiscard]] double hat_log(double x) const;

  [[nodiscard]] const TdrOptions& opts() const { return opts_; }
  [[nodiscard]] std::optional<double> box_max() const { return box_max_; }
  [[nodiscard]] std::span<const double> xs() const { return xs_; }
  [[nodiscard]] std::span<const double> log_values() const { return log_values_; }
  [[nodiscard]] std::span<const double> slopes() const { return slopes_; }
  [[nodiscard]] std::span<const double> breakpoints() const { return breakpoints_; }
  [[nodiscard]] std::span<const double> areas() const { return areas_; }
  [[nodiscard]] std::span<const double> cdf() const { return cdf_; }

 private:
  explicit TdrHat(const TdrOptions& opts) : opts_(opts) {}

  template <Pdf P>
  [[nodiscard]] static std::expected<TdrHat, BuildError> build_box(const P& pdf, const TdrOptions& opts);
  template <class P, class D>
  [[nodiscard]] static std::expected<TdrHat, BuildError> build_log(const P& pdf, const D& dpdf,
                                                                   const TdrOptions& opts);
  // Breakpoints, areas and the cumulative table from the tangents in xs_,
  // log_values_ and slopes_: the three phases below, in order.
  [[nodiscard]] std::expected<void, BuildError> complete_log_hat();
  [[nodiscard]] std::expected<void, BuildError> intersect_tangents();
  [[nodiscard]] std::expected<void, BuildError> integrate_pieces();
  [[nodiscard]] std::expected<void, BuildError> accumulate_areas();
  [[nodiscard]] std::pair<double, double> piece_bounds(std::size_t k) const;

  template <Pdf P>
  [[nodiscard]] std::expected<double, SampleError> sample_box(const P& pdf, Rng& rng) const;
  template <Pdf P>
  [[nodiscard]] std::expected<double, SampleError> sample_log(const P& pdf, Rng& rng) const;

  TdrOptions opts_;
  std::optional<double> box_max_;
  std::vector<double> xs_;
  std::vector<double> log_values_;
  std::vector<double> slopes_;
  std::vector<double> breakpoints_;
  std::vector<double> areas_;
  std::vector<double> cdf_;
};

namespace detail {

// The cell midpoints of the `Log` grid and the two points just inside the
// ends, kept strictly inside (lo, hi), sorted, and thinned so that no two lie
// closer than 1e-12 in absolute terms.
[[nodiscard]] std::expected<std::vector<double>, BuildError> tdr_log_candidates(double lo, double hi,
                                                                               std::uint64_t n);

}  // namespace detail

template <class P, class D>
  requires Pdf<P> && Supported<P> && Dpdf<D> && Supported<D>
std::expected<TdrHat, BuildError> TdrHat::try_build(const P& pdf, const D& dpdf, const TdrOptions& opts) {
  const auto [lo, hi] = opts.support;
  if (auto ok = check_support(lo, hi); !ok) {
    return std::unexpected(ok.error());
  }
  // A NaN end never compares equal, so it never matches.
  if (pdf.lo() != lo || pdf.hi() != hi || dpdf.lo() != lo || dpdf.hi() != hi) {
    return std::unexpected(BuildError::invalid_support("pdf/dpdf support must match opts.support"));
  }
  if (opts.construction_points > kMaxTdrConstructionPoints) {
    return std::unexpected(BuildError::tdr_build_failed());
  }
  if (opts.transform == TdrTransform::InvSqrt) {
    return build_box(pdf, opts);
  }
  return build_log(pdf, dpdf, opts);
}

template <Pdf P>
std::expected<TdrHat, BuildError> TdrHat::build_box(const P& pdf, const TdrOptions& opts) {
  const auto [lo, hi] = opts.support;
  const std::uint64_t n = std::max(opts.construction_points, kTdrMinBoxCells);
  const double cells = static_cast<double>(n);
  double height = 0.0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const double v = pdf.pdf(lo + (static_cast<double>(i) + 0.5) / cells * (hi - lo));
    if (std::isfinite(v) && v > height) {
      height = v;
    }
  }
  if (!(height > 0.0)) {
    return std::unexpected(BuildError::tdr_build_failed());
  }
  TdrHat hat(opts);
  hat.box_max_ = height;
  return hat;
}

template <class P, class D>
std::expected<TdrHat, BuildError> TdrHat::build_log(const P& pdf, const D& dpdf, const TdrOptions& opts) {
  const auto [lo, hi] = opts.support;
  auto candidates = detail::tdr_log_candidates(lo, hi, std::max(opts.construction_points, kTdrMinLogPoints));
  if (!candidates) {
    return std::unexpected(candidates.error());
  }
  TdrHat hat(opts);
  const std::size_t capacity = candidates->size();
  if (!try_reserve(hat.xs_, capacity) || !try_reserve(hat.log_values_, capacity) ||
      !try_reserve(hat.slopes_, capacity)) {
    return std::unexpected(BuildError::out_of_memory());
  }
  for (const double x : *candidates) {
    const double f = pdf.pdf(x);
    if (!(std::isfinite(f) && f > 0.0)) {
      continue;
    }
    const double d = dpdf.dpdf(x);
    if (!std::isfinite(d)) {
      continue;
    }
    hat.xs_.push_back(x);
    hat.log_values_.push_back(std::log(f));
    hat.slopes_.push_back(d / f);
  }
  if (hat.xs_.size() < kTdrMinLogPoints) {
    return std::unexpected(BuildError::tdr_build_failed());
  }
  if (auto done = hat.complete_log_hat(); !done) {
    return std::unexpected(done.error());
  }
  return hat;
}

template <Pdf P>
std::expected<double, SampleError> TdrHat::sample_with_rng(const P& pdf, Rng& rng) const {
  if (box_max_) {
    return sample_box(pdf, rng);
  }
  return sample_log(pdf, rng);
}

template <Pdf P>
std::expected<double, SampleError> TdrHat::sample_box(const P& pdf, Rng& rng) const {
  const auto [lo, hi] = opts_.support;
  const double height = *box_max_;
  const std::uint64_t trials = std::max<std::uint64_t>(opts_.max_trials, 1);
  for (std::uint64_t t = 0; t < trials; ++t) {
    const double x = standard_uniform(rng) * (hi - lo) + lo;
    const double f = pdf.pdf(x);
    // Zero is a valid density value and takes its second draw like any other.
    if (!(std::isfinite(f) && f >= 0.0)) {
      continue;
    }
    if (f >= standard_uniform(rng) * height) {
      return x;
    }
  }
  return std::unexpected(SampleError::tdr_sample_failed());
}

template <Pdf P>
std::expected<double, SampleError> TdrHat::sample_log(const P& pdf, Rng& rng) const {
  const std::uint64_t trials = std::max<std::uint64_t>(opts_.max_trials, 1);
  for (std::uint64_t t = 0; t < trials; ++t) {
    const auto x = sample_from_hat(rng);
    if (!x) {
      return x;
    }
    const double f = pdf.pdf(*x);
    if (!(std::isfinite(f) && f > 0.0)) {
      continue;
    }
    const double excess = std::log(f) - hat_log(*x);
    // The density is above its hat: it is not log-concave, and every value
    // this hat could give would come from the wrong law.
    if (excess > kTdrHatViolation) [[unlikely]] {
      return std::unexpected(SampleError::tdr_sample_failed());
    }
    if (std::log(standard_uniform(rng)) <= excess) {
      return x;
    }
  }
  return std::unexpected(SampleError::tdr_sample_failed());
}

}  // namespace varlix
