// Transformed density rejection with squeezes and adaptive refinement
// (Hörmann 1995, "A rejection technique for sampling from T-concave
// distributions", ACM TOMS 21; Gilks & Wild 1992, "Adaptive rejection
// sampling for Gibbs sampling", Applied Statistics 41; derandomized adaptive
// rejection sampling after Leydold, Janka & Hörmann 2002).
//
// For a density f whose transform T(f) is concave, T_0 = log (log-concave f)
// or T_{-1/2}(f) = -1/sqrt(f) (a wider class: all log-concave densities and
// e.g. Student t with nu >= 1), tangents to T(f) at construction points
// p_1 < ... < p_N bound T(f) from above and secants between neighbours bound it
// from below. Back-transformed they give a hat above f, sampled by inversion,
// and a squeeze below f that accepts most proposals without calling f. The
// right tool for many draws from one unimodal density with a derivative; the
// density is called only for proposals between squeeze and hat (about
// 1 - squeeze_hat_ratio per draw).
//
// All refinement happens in setup: intervals whose hat-squeeze gap is above
// the mean are split (at the tangents' intersection) until the ratio
// (area below squeeze) / (area below hat) is well past max_squeeze_hat_ratio
// (1 - ratio 2.5 times below 1 - target, or one more round after reaching
// it) or there are max_intervals construction points. The finished table is
// immutable, so sampling is const, thread-safe and allocation-free.
//
// API
//   build_tdr_squeeze(pdf, dpdf, options) -> TdrSqueezeTable or SetupError
//     pdf, dpdf: const-callables double(double) (or batch functions, see
//       evaluate.hpp); pdf need not be normalized. Setup evaluates them in
//       batches (initial points, then each refinement round).
//     options: transform (Log for c = 0, InvSqrt for c = -0.5), domain (may
//       be infinite), mode and center (optional), construction_points (explicit
//       points; when empty, construction_count points are spread around the
//       center at equal angles), use_dars, max_squeeze_hat_ratio, max_intervals.
//     Errors: bad_value(x, v) for a density NaN/negative/infinite or a
//       derivative NaN/infinite at x; no_mass() when f is zero at every point
//       tried; not_t_concave(x) when the tangents or secants at x contradict
//       T-concavity or the hat stays unbounded (a tail tangent that does not
//       decay, an InvSqrt tangent reaching zero) within max_intervals points.
//   table.draw(pdf, src), table.sample(pdf, src, out): draws of f; each trial
//     takes two uniforms (one recycled for the piece and the point); sample
//     gives the draws of draw() one by one from the same uniforms but calls
//     the density in batches (evaluate.hpp) of up to 384 points. Fails with
//     bad_value(x, v) when pdf fails at x, not_t_concave(x) when pdf is found
//     above the hat at x, no_mass() after kTdrSqueezeMaxTrials trials.
//   table.ppf_hat(u): inverse CDF of the normalized hat, u in [0, 1] (NaN outside).
//   table.hat_area(), squeeze_area(), squeeze_hat_ratio(), intervals()
//     (the number of construction points), hat(x), squeeze(x).
//   table.to_words() / TdrSqueezeTable::from_words(words): flat storage of the
//     construction points; loading rebuilds and rechecks the hat (bad_table).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "evaluate.hpp"
#include "memory.hpp"
#include "search.hpp"
#include "setup_error.hpp"
#include "uniform_source.hpp"

namespace varlix {

enum class TdrSqueezeTransform : std::uint8_t {
  Log,      // c = 0: T(f) = log f
  InvSqrt,  // c = -1/2: T(f) = -1/sqrt(f)
};

namespace tdr_squeeze_detail {

// The offset d from x0 where the area under T^{-1}(t0 + s (x - x0)) from x0
// reaches `area` (signed), f0 = T^{-1}(t0): the inverse of the area in d;
// infinite where it is never reached.
[[nodiscard]] inline double offset_for_area(TdrSqueezeTransform tr, double f0, double t0, double s, double area) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (tr == TdrSqueezeTransform::Log) {
    const double linear = area / f0;
    const double z = s * linear;
    if (z == 0.0) return linear;
    if (z <= -1.0) return s > 0.0 ? -kInf : kInf;
    return linear * (std::log1p(z) / z);
  }
  const double denominator = 1.0 - area * t0 * s;
  if (!(denominator > 0.0)) return area > 0.0 ? kInf : -kInf;
  return area * t0 * t0 / denominator;
}

}  // namespace tdr_squeeze_detail

// A proposal is refused at most this many times per draw. A valid hat accepts
// with probability above 1/2 even without refinement, so reaching it means
// the density is zero where the hat has mass (a wrong domain or pdf).
inline constexpr std::uint64_t kTdrSqueezeMaxTrials = 100000;

// The density may exceed the hat by this relative amount (rounding in the
// tangents, a derivative from finite differences) before the draw fails:
// beyond it the hat does not bound f and the draws would follow a wrong law.
inline constexpr double kTdrSqueezeHatTolerance = 1e-6;

struct TdrSqueezeOptions {
  TdrSqueezeTransform transform = TdrSqueezeTransform::InvSqrt;
  double domain_lo = -std::numeric_limits<double>::infinity();
  double domain_hi = std::numeric_limits<double>::infinity();
  std::optional<double> mode{};
  std::optional<double> center{};
  std::size_t construction_count = 30;
  std::vector<double> construction_points{};  // used instead of the count when not empty
  bool use_dars = true;
  double max_squeeze_hat_ratio = 0.99;
  std::size_t max_intervals = 1000;
};

class TdrSqueezeTable {
 public:
  [[nodiscard]] static std::expected<TdrSqueezeTable, SetupError> from_words(std::span<const double> words);
  [[nodiscard]] std::vector<double> to_words() const;

  template <class F, UniformSource S>
  [[nodiscard]] std::expected<double, SetupError> draw(const F& pdf, S& src) const;

  // The same draws as draw() one by one, from the same uniforms, with the
  // density called in batches (see evaluate.hpp).
  template <class F, UniformSource S>
  [[nodiscard]] std::expected<void, SetupError> sample(const F& pdf, S& src, std::span<double> out) const;

  [[nodiscard]] double ppf_hat(double u) const;
  [[nodiscard]] double hat(double x) const;
  [[nodiscard]] double squeeze(double x) const;

  [[nodiscard]] double hat_area() const { return hat_area_; }
  [[nodiscard]] double squeeze_area() const { return squeeze_area_; }
  [[nodiscard]] double squeeze_hat_ratio() const { return squeeze_area_ / hat_area_; }
  [[nodiscard]] std::size_t intervals() const { return x_.size(); }
  [[nodiscard]] TdrSqueezeTransform transform() const { return transform_; }
  [[nodiscard]] double domain_lo() const { return bounds_.front(); }
  [[nodiscard]] double domain_hi() const { return bounds_.back(); }
  [[nodiscard]] std::span<const double> points() const { return x_; }

 private:
  friend class TdrSqueezeBuilder;
  TdrSqueezeTable() = default;

  // Hat and squeeze in the transformed scale and back.
  [[nodiscard]] double inverse_t(double t) const {
    return transform_ == TdrSqueezeTransform::Log ? std::exp(t) : 1.0 / (t * t);
  }
  // Piece holding the hat's cumulative area t and the point there: a guide
  // entry, then a short walk.
  [[nodiscard]] double invert_hat(double t, std::size_t& piece) const {
    const std::size_t last = x_.size() - 1;
    const std::size_t cell = std::min(static_cast<std::size_t>(t * guide_scale_), guide_.size() - 1);
    piece = guide_[cell];
    while (piece < last && cumulative_[piece] <= t) ++piece;
    const double before = piece == 0 ? 0.0 : cumulative_[piece - 1];
    const double area = area_below_[piece] + (t - before);
    const double x = anchor_[piece] + tdr_squeeze_detail::offset_for_area(transform_, anchor_f_[piece],
                                                                           anchor_t_[piece], slope_[piece], area);
    return std::clamp(x, bounds_[piece], bounds_[piece + 1]);
  }
  [[nodiscard]] double hat_t_in(std::size_t piece, double x) const {
    return anchor_t_[piece] + slope_[piece] * (x - anchor_[piece]);
  }
  [[nodiscard]] double hat_in(std::size_t piece, double x) const { return inverse_t(hat_t_in(piece, x)); }
  // Whether v * hat(x) < squeeze(x), from T(hat(x)): one exp (Log) or no
  // division (InvSqrt: squeeze / hat = (T(hat) / T(squeeze))^2). Inline and
  // without a branch on the side of x_[piece] (a coin flip for the
  // processor): the secant comes from the padded lower_ arrays.
  [[nodiscard]] bool under_squeeze(std::size_t piece, double x, double hat_t, double v) const {
    const std::size_t j = piece + static_cast<std::size_t>(x >= x_[piece]);
    const double squeeze_t = lower_t_[j] + lower_slope_[j] * (x - lower_x_[j]);
    if (transform_ == TdrSqueezeTransform::Log) return v < std::exp(squeeze_t - hat_t);
    return v * (squeeze_t * squeeze_t) < hat_t * hat_t;
  }
  [[nodiscard]] double squeeze_t_in(std::size_t piece, double x) const;
  // The secant between x_[j] and x_[j+1] at x, from its higher end.
  [[nodiscard]] double secant_t_at(std::size_t j, double x) const;
  [[nodiscard]] std::size_t piece_of(double x) const;

  TdrSqueezeTransform transform_ = TdrSqueezeTransform::InvSqrt;
  // Construction points: position, density, T(density), slope of the tangent.
  std::vector<double> x_, f_, t_, slope_;
  // Piece i (the hat from the tangent at x_[i]) covers [bounds_[i], bounds_[i+1]];
  // bounds_ starts and ends with the domain.
  std::vector<double> bounds_;
  // Each piece's tangent is written from the end where the hat is largest (its
  // anchor): from there T(hat) only moves away from 0, so evaluating it never
  // cancels, however steep the tangent of a far-out point is.
  std::vector<double> anchor_, anchor_t_, anchor_f_;
  std::vector<double> area_below_;  // signed hat area from the anchor to the piece's lower bound (<= 0)
  std::vector<double> secant_;      // slope of T(f) between x_[i] and x_[i+1]
  // The squeeze as draws read it: entry j + 1 is the secant j written from
  // its higher end (point, T there, slope); entries 0 and n stand for no
  // squeeze (T = -inf, slope 0) left of the first and right of the last point.
  std::vector<double> lower_x_, lower_t_, lower_slope_;
  std::vector<double> cumulative_;  // hat area of pieces 0..i
  std::vector<std::size_t> guide_;  // guide_[j]: first piece whose cumulative area exceeds j / size of the total
  double guide_scale_ = 0.0;        // guide cells per unit of hat area
  double hat_area_ = 0.0;
  double squeeze_area_ = 0.0;
};

// The setup steps that do not call the density; build_tdr_squeeze drives them.
class TdrSqueezeBuilder {
 public:
  [[nodiscard]] static std::expected<TdrSqueezeBuilder, SetupError> start(const TdrSqueezeOptions& options);

  // Points to evaluate first (explicit or spread around the center, plus the mode).
  [[nodiscard]] std::vector<double> initial_points() const;
  // The center, tried once when no initial point has mass.
  [[nodiscard]] double center() const { return center_; }

  // Takes evaluated points: f and f' at xs (f' read only where f > 0).
  [[nodiscard]] std::expected<void, SetupError> add(std::span<const double> xs, std::span<const double> fs,
                                                    std::span<const double> dfs);
  [[nodiscard]] bool has_points() const { return !table_.x_.empty(); }

  // Builds the hat from the points so far. Returns the points to add next
  // (empty when done) or the reason the hat cannot be completed.
  [[nodiscard]] std::expected<std::vector<double>, SetupError> refine();

  [[nodiscard]] TdrSqueezeTable finish() && { return std::move(table_); }

  // Completes a table from its construction points: intersections, checks,
  // areas. Infinite areas are reported through `unbounded` (interval indices,
  // 0 = left of the first point) rather than as an error.
  [[nodiscard]] static std::expected<void, SetupError> complete(TdrSqueezeTable& table,
                                                                std::vector<std::size_t>* unbounded,
                                                                std::vector<double>* gaps);

 private:
  TdrSqueezeBuilder() = default;
  // Checks concavity between neighbours, places the tangents' intersections
  // in bounds_ and T(hat) there in bound_t.
  [[nodiscard]] static std::expected<void, SetupError> place_bounds(TdrSqueezeTable& table,
                                                                    std::vector<double>& bound_t);
  static void anchor_piece(TdrSqueezeTable& table, std::size_t k, std::span<const double> bound_t);
  [[nodiscard]] static std::expected<void, SetupError> build_guide(TdrSqueezeTable& table);
  [[nodiscard]] double split_point(std::size_t interval) const;
  // Whether the squeeze-hat ratio needs no more splitting (see the .cpp).
  [[nodiscard]] bool refined_enough();

  TdrSqueezeOptions options_;
  TdrSqueezeTable table_;
  double center_ = 0.0;
  std::size_t rounds_ = 0;
  bool extra_round_done_ = false;
  double lo_ = 0.0, hi_ = 0.0;  // the domain, narrowed by points where f = 0
};

template <class F, class D>
[[nodiscard]] std::expected<TdrSqueezeTable, SetupError> build_tdr_squeeze(const F& pdf, const D& dpdf,
                                                                         const TdrSqueezeOptions& options) {
  std::expected<TdrSqueezeBuilder, SetupError> builder = TdrSqueezeBuilder::start(options);
  if (!builder) return std::unexpected(builder.error());
  std::vector<double> xs = builder->initial_points();
  std::vector<double> fs, dfs;
  bool tried_center = false;
  while (!xs.empty()) {
    if (!try_resize(fs, xs.size()) || !try_resize(dfs, xs.size())) {
      return std::unexpected(SetupError::out_of_memory());
    }
    evaluate(pdf, xs, fs);
    // The derivative is wanted only where the density is positive; a point of
    // zero density narrows the domain instead.
    std::vector<double> positive, dpositive;
    if (!try_reserve(positive, xs.size())) return std::unexpected(SetupError::out_of_memory());
    for (std::size_t i = 0; i < xs.size(); ++i) {
      if (fs[i] > 0.0 && std::isfinite(fs[i])) positive.push_back(xs[i]);
    }
    if (!try_resize(dpositive, positive.size())) return std::unexpected(SetupError::out_of_memory());
    // A user's vectorized function need not accept an empty array.
    if (!positive.empty()) evaluate(dpdf, positive, dpositive);
    for (std::size_t i = 0, j = 0; i < xs.size(); ++i) {
      dfs[i] = (fs[i] > 0.0 && std::isfinite(fs[i])) ? dpositive[j++] : 0.0;
    }
    if (auto added = builder->add(xs, fs, dfs); !added) return std::unexpected(added.error());
    if (!builder->has_points()) {
      if (tried_center) return std::unexpected(SetupError::no_mass());
      tried_center = true;
      xs.assign(1, builder->center());
      continue;
    }
    std::expected<std::vector<double>, SetupError> next = builder->refine();
    if (!next) return std::unexpected(next.error());
    xs = std::move(*next);
  }
  return std::move(*builder).finish();
}

// Trials are independent of the draws they end up in: the accepted trials,
// in order, are the draws. So trials run ahead, one per draw still wanted
// (never more: no uniform is taken that draw() would not take), the squeeze
// settles most of them at once, and the density is called on the rest
// together, up to kPending at a time; a pass over the round then keeps the
// accepted trials in order.
template <class F, UniformSource S>
std::expected<void, SetupError> TdrSqueezeTable::sample(const F& pdf, S& src, std::span<double> out) const {
  // Trials waiting for the density (16 KiB of stack), and the trials whose
  // uniforms are drawn at once: the source's call (through a pointer, for a
  // NumPy bit generator) then stays out of the loop over the trials.
  constexpr std::size_t kPending = 384;
  constexpr std::size_t kBlock = 128;
  constexpr double kRefused = std::numeric_limits<double>::quiet_NaN();
  std::array<double, kPending> xs, fs, hats, vs;
  std::array<std::size_t, kPending> slots;
  std::array<double, 2 * kBlock> us;
  std::uint64_t refused_in_a_row = 0;
  std::size_t done = 0;
  while (done < out.size()) {
    // A round: out[done + k] holds trial k's point, or kRefused.
    std::size_t trials = 0;
    std::size_t pending = 0;
    while (done + trials < out.size() && pending + kBlock <= kPending) {
      const std::size_t block = std::min(kBlock, out.size() - done - trials);
      for (std::size_t k = 0; k < 2 * block; ++k) us[k] = src.next_double();
      for (std::size_t k = 0; k < block; ++k) {
        const std::size_t slot = done + trials++;
        std::size_t piece = 0;
        const double x = invert_hat(us[2 * k] * hat_area_, piece);
        const double v = us[2 * k + 1];
        out[slot] = x;
        // An infinite end of the domain is reached only through rounding in
        // the far tail; such a proposal is refused like any rejected one.
        if (!std::isfinite(x)) {
          out[slot] = kRefused;
          continue;
        }
        const double hat_t = hat_t_in(piece, x);
        if (under_squeeze(piece, x, hat_t, v)) continue;
        xs[pending] = x;
        hats[pending] = inverse_t(hat_t);
        vs[pending] = v;
        slots[pending++] = slot;
      }
    }
    evaluate(pdf, std::span<const double>(xs.data(), pending), std::span<double>(fs.data(), pending));
    for (std::size_t k = 0; k < pending; ++k) {
      const double fx = fs[k];
      const double h = hats[k];
      if (!usable_density(fx)) {
        return std::unexpected(SetupError::bad_value(xs[k], fx));
      }
      if (fx > h * (1.0 + kTdrSqueezeHatTolerance)) [[unlikely]] {
        return std::unexpected(SetupError::not_t_concave(xs[k]));
      }
      if (!(vs[k] * h < fx)) out[slots[k]] = kRefused;
    }
    // Keep the accepted trials, in order.
    const std::size_t end = done + trials;
    for (std::size_t slot = done; slot < end; ++slot) {
      if (std::isnan(out[slot])) {
        if (++refused_in_a_row == kTdrSqueezeMaxTrials) return std::unexpected(SetupError::no_mass());
        continue;
      }
      refused_in_a_row = 0;
      out[done++] = out[slot];
    }
  }
  return {};
}

template <class F, UniformSource S>
std::expected<double, SetupError> TdrSqueezeTable::draw(const F& pdf, S& src) const {
  for (std::uint64_t trial = 0; trial < kTdrSqueezeMaxTrials; ++trial) {
    std::size_t piece = 0;
    const double x = invert_hat(src.next_double() * hat_area_, piece);
    const double v = src.next_double();
    // An infinite end of the domain is reached only through rounding in the
    // far tail; such a proposal is refused like any rejected one.
    if (!std::isfinite(x)) continue;
    const double hat_t = hat_t_in(piece, x);
    if (under_squeeze(piece, x, hat_t, v)) return x;
    const double h = inverse_t(hat_t);
    const double fx = pdf(x);
    if (!usable_density(fx)) {
      return std::unexpected(SetupError::bad_value(x, fx));
    }
    if (fx > h * (1.0 + kTdrSqueezeHatTolerance)) [[unlikely]] {
      return std::unexpected(SetupError::not_t_concave(x));
    }
    if (v * h < fx) return x;
  }
  return std::unexpected(SetupError::no_mass());
}

}  // namespace varlix
