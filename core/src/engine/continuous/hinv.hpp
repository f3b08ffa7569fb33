// Adaptive Hermite interpolation of the inverse CDF (HINV): Hörmann & Leydold
// 2003, "Continuous random variate generation by fast numerical inversion",
// ACM TOMACS 13(4), 347-362.
//
// The right tool when the CDF is known in closed form (or cheaply) and many
// draws or quantiles are wanted: the inverse CDF x(u) is interpolated on
// intervals [p_i, p_{i+1}] of u from the values of x, x' = 1/f(x) and
// x'' = -f'(x)/f(x)^3 at the ends: linear (order 1: the CDF alone), cubic
// (order 3: CDF and density) or quintic (order 5: also the density's
// derivative). An interval is split at the interpolated x of its u-midpoint
// whenever the u-error there, |F(H(p_mid)) - p_mid| with the true CDF, exceeds
// the resolution or the interpolant is not monotone; the CDF value computed
// for the check becomes the new node, so no evaluation is wasted. Where the
// density vanishes at a node (a support edge, an underflowing tail) the
// interval falls back to linear interpolation; straight-line intervals are
// also checked near their ends, where their error peaks. An interval whose
// midpoint passes is checked once more at 3/4, which fixes a model of its
// error curve (Hermite's remainder with a linearly varying derivative); the
// midpoint alone lets errors half as high again through near a mode. A half of a split
// without mass is dropped (a jump in x across a flat stretch of the CDF).
// All points of one refinement round are evaluated in one batch.
//
// Infinite tails are cut where their mass (from the CDF) falls below
// kTailFraction * u_resolution; on a finite domain [lo, hi] draws follow the
// distribution truncated there.
//
// API (all the binding needs):
//   build_hinv(cdf, pdf, dpdf, HinvOptions) -> std::expected<HinvTable, SetupError>
//     each function a const-callable double(double), optionally with
//     eval_batch (all points of one refinement round in one call). pdf is
//     not called for order 1, dpdf only for order 5 (pass AbsentFunction).
//     Options are trusted: order in {1, 3, 5}, 0 < u_resolution < 1, lo < hi,
//     center not NaN; construction points outside (lo, hi) are ignored.
//   table.ppf(u)              quantile; u outside [0, 1] or NaN -> NaN
//   table.sample(source, out) out[i] = ppf(source.next_double()), no allocation
//   table.u_error(cdf, us)    expected<UError{max, mean}>: |cdf(ppf(u)) - u|
//                             over us, renormalized to the given domain
//   intervals(), order(), u_resolution(), midpoint_error() (largest u-error
//   measured at an accepted interval's midpoint), support_lo()/support_hi()
//   (cut points), domain_lo()/domain_hi()
//   to_words() / HinvTable::from_words(words) for pickling.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <expected>
#include <limits>
#include <span>
#include <vector>

#include "continuous/interval_guide.hpp"
#include "continuous/u_error.hpp"
#include "evaluate.hpp"
#include "memory.hpp"
#include "setup_error.hpp"
#include "uniform_source.hpp"

namespace varlix {

struct HinvOptions {
  int order = 3;
  double u_resolution = 1e-12;
  double lo = -std::numeric_limits<double>::infinity();
  double hi = std::numeric_limits<double>::infinity();
  double center = 0.0;
  std::vector<double> construction_points{};
};

// Stands in for the density or its derivative where the order needs neither.
struct AbsentFunction {
  double operator()(double) const { return std::numeric_limits<double>::quiet_NaN(); }
};

// The interval budget: a hundred thousand intervals hold any CDF that can be
// inverted to the resolution with the chosen order in a few megabytes.
inline constexpr std::size_t kHinvMaxIntervals = 100000;

class HinvTable {
 public:
  [[nodiscard]] double ppf(double u) const;

  // One inlined pass, the interpolation unrolled for the order: consecutive
  // draws (and the source's work) overlap in the processor.
  template <UniformSource S>
  void sample(S& source, std::span<double> out) const {
    switch (order_) {
      case 1: return sample_fixed<1>(source, out);
      case 3: return sample_fixed<3>(source, out);
      case 5: return sample_fixed<5>(source, out);
      default:
        for (double& x : out) x = source.next_double();
        ppf_in_place(out);
    }
  }

  template <class C>
  [[nodiscard]] std::expected<UError, SetupError> u_error(const C& cdf, std::span<const double> us) const {
    return measure_u_error(*this, cdf, domain_lo_, domain_hi_, us);
  }

  [[nodiscard]] std::size_t intervals() const { return p_.size() - 1; }
  [[nodiscard]] int order() const { return order_; }
  [[nodiscard]] double u_resolution() const { return u_resolution_; }
  [[nodiscard]] double midpoint_error() const { return midpoint_error_; }
  [[nodiscard]] double support_lo() const { return x_starts_.front(); }
  [[nodiscard]] double support_hi() const { return x_starts_.back(); }
  [[nodiscard]] double domain_lo() const { return domain_lo_; }
  [[nodiscard]] double domain_hi() const { return domain_hi_; }

  [[nodiscard]] std::vector<double> to_words() const;
  [[nodiscard]] static std::expected<HinvTable, SetupError> from_words(std::span<const double> words);

  friend bool operator==(const HinvTable&, const HinvTable&) = default;

  // For the builder. Node data at both ends of each interval, in order:
  struct End {
    double x;
    double p;    // CDF
    double dx;   // dx/du = 1/f, infinite where f = 0
    double d2x;  // d2x/du2 = -f'/f^3 (order 5)
  };
  HinvTable(int order, double u_resolution, double domain_lo, double domain_hi)
      : order_(order), u_resolution_(u_resolution), domain_lo_(domain_lo), domain_hi_(domain_hi) {}
  // Appends the interpolant between a and b (b.p > a.p, b.x >= a.x).
  [[nodiscard]] bool append(const End& a, const End& b);
  // Closes the table at the last interval's right end and builds the guide.
  [[nodiscard]] bool finish(const End& last, double midpoint_error);
  // The interpolant of [a, b] at t in [0, 1] and whether it is monotone.
  [[nodiscard]] static double interpolate(int order, const End& a, const End& b, double t);
  [[nodiscard]] static bool monotone(int order, const End& a, const End& b);
  // Whether the interpolant is a straight line: order 1, or a higher order
  // giving way where the density is 0 at an end.
  [[nodiscard]] static bool falls_back(int order, const End& a, const End& b);

 private:
  [[nodiscard]] double ppf_unchecked(double u) const;
  // values[i] = ppf_unchecked(values[i]) for u values in [0, 1].
  void ppf_in_place(std::span<double> values) const;
  // ppf_unchecked of each uniform with the order K fixed at compile time:
  // the same operations in the same order, unrolled.
  // (The table's data is read into locals first: the loop keeps them in
  // registers across the source's calls.)
  template <std::size_t K, UniformSource S>
  void sample_fixed(S& source, std::span<double> out) const {
    const IntervalGuide::View guide = guide_.view();
    const double* p = p_.data();
    const std::size_t m = p_.size() - 1;
    const double first = p[0];
    const double range = p[m] - p[0];
    const double* x_starts = x_starts_.data();
    const double* coefs = coefs_.data();
    for (double& x : out) {
      const double target = first + source.next_double() * range;
      const std::size_t i = guide.locate(p, m, target);
      const double t = (target - p[i]) / (p[i + 1] - p[i]);
      const double* c = coefs + i * K;
      double y = c[K - 1];
#pragma GCC unroll 8
      for (std::size_t j = K - 1; j >= 1; --j) y = y * t + c[j - 1];
      x = std::clamp(y * t + x_starts[i], x_starts[i], x_starts[i + 1]);
    }
  }
  static void coefficients(int order, const End& a, const End& b, std::span<double> out);

  int order_ = 3;
  double u_resolution_ = 1e-12;
  double domain_lo_ = 0.0;
  double domain_hi_ = 0.0;
  double midpoint_error_ = 0.0;
  std::vector<double> p_;         // m + 1 CDF values of the interval ends
  std::vector<double> x_starts_;  // m starts and the last end
  std::vector<double> coefs_;     // order coefficients a_1..a_order per interval (a_0 is the start)
  IntervalGuide guide_;
};

namespace hinv_detail {

// Tails with less mass than this fraction of the u-resolution are cut.
inline constexpr double kTailFraction = 0.05;
// Where the outward search of a tail begins, relative to max(1, |center|).
inline constexpr double kFirstStep = 1.0 / 1024.0;
// Beyond this no CDF is followed: it never comes close to 0 or 1.
inline constexpr double kFarthest = 1e300;
// A cut point is located to this fraction of its distance from the center,
// or until its tail has at least kCutFill of the allowed mass.
inline constexpr double kCutPrecision = 1e-2;
inline constexpr double kCutFill = 0.1;
// Intervals narrower than this relative to |x| cannot be split further.
inline constexpr double kMinRelWidth = 1e-14;
// The second point of the error model of an interval (see check_shapes),
// and the steps at which the model is searched for its largest value.
inline constexpr double kShapeCheck = 0.75;
inline constexpr int kShapeSteps = 32;
// On a straight-line interval the u-error is also checked at these points:
// it can peak close to an end.
inline constexpr std::array<double, 2> kLineChecks{0.1, 0.9};
// The midpoint error is held below this fraction of the resolution: the
// largest error of an interval lies near, not exactly at, its midpoint.
inline constexpr double kErrorSafety = 0.9;

template <class Cdf, class Pdf, class Dpdf>
class Builder {
 public:
  Builder(const Cdf& cdf, const Pdf& pdf, const Dpdf& dpdf, const HinvOptions& options)
      : cdf_(cdf), pdf_(pdf), dpdf_(dpdf), opt_(options) {}

  std::expected<HinvTable, SetupError> run() {
    auto ends = domain_mass();
    if (!ends) return std::unexpected(ends.error());
    const double c = center();
    auto left = find_cut(c, -1.0, opt_.lo);
    if (!left) return std::unexpected(left.error());
    auto right = find_cut(c, 1.0, opt_.hi);
    if (!right) return std::unexpected(right.error());
    cut_lo_ = *left;
    cut_hi_ = *right;
    // Initial nodes: the cut points, the center and the user's points.
    std::vector<double> xs{*left, *right};
    if (c > *left && c < *right) xs.push_back(c);
    for (double x : opt_.construction_points) {
      if (x > *left && x < *right) xs.push_back(x);
    }
    std::ranges::sort(xs);
    xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
    std::vector<End> nodes;
    if (auto ok = make_ends(xs, nodes); !ok) return std::unexpected(ok.error());
    if (auto ok = check_pole_gap(nodes.front(), 1.0); !ok) return std::unexpected(ok.error());
    if (auto ok = check_pole_gap(nodes.back(), -1.0); !ok) return std::unexpected(ok.error());
    return refine(nodes);
  }

 private:
  using End = HinvTable::End;
  struct Interval {
    End a, b;
    bool first_round;
  };

  double center() const {
    if (opt_.center > opt_.lo && opt_.center < opt_.hi) return opt_.center;
    if (std::isfinite(opt_.lo) && std::isfinite(opt_.hi)) return 0.5 * (opt_.lo + opt_.hi);
    if (std::isfinite(opt_.lo)) return std::max(opt_.lo, std::isfinite(opt_.center) ? opt_.center : opt_.lo);
    if (std::isfinite(opt_.hi)) return std::min(opt_.hi, std::isfinite(opt_.center) ? opt_.center : opt_.hi);
    return 0.0;
  }

  std::expected<void, SetupError> cdf_values(std::span<const double> xs, std::span<double> ys) const {
    evaluate(cdf_, xs, ys);
    for (std::size_t i = 0; i < xs.size(); ++i) {
      if (!std::isfinite(ys[i])) return std::unexpected(SetupError::bad_value(xs[i], ys[i]));
    }
    return {};
  }

  // The CDF at the domain's ends (0 and 1 for infinite ends) and the mass between.
  std::expected<void, SetupError> domain_mass() {
    std::array<double, 2> xs{std::isfinite(opt_.lo) ? opt_.lo : 0.0, std::isfinite(opt_.hi) ? opt_.hi : 0.0};
    std::array<double, 2> ys{};
    if (std::isfinite(opt_.lo) || std::isfinite(opt_.hi)) {
      if (auto ok = cdf_values(xs, ys); !ok) return ok;
    }
    p_lo_ = std::isfinite(opt_.lo) ? ys[0] : 0.0;
    p_hi_ = std::isfinite(opt_.hi) ? ys[1] : 1.0;
    if (!(p_hi_ > p_lo_)) return std::unexpected(SetupError::no_mass());
    tol_ = opt_.u_resolution * (p_hi_ - p_lo_);
    return {};
  }

  double tail(double s, double p) const { return s < 0.0 ? p - p_lo_ : p_hi_ - p; }

  // An infinite density is allowed only at an end of the table: a pole at
  // a domain end that the cut could not move away from (no double closer to
  // it leaves a small enough tail), or a density that overflows on the last
  // double before one. The inverse CDF is flat there.
  bool pole_end(double x, double f) const {
    return f == std::numeric_limits<double>::infinity() && (x == cut_lo_ || x == cut_hi_);
  }

  // The cut point on side s: where the mass beyond falls below the target,
  // or the boundary when it never does.
  std::expected<double, SetupError> find_cut(double c, double s, double boundary) {
    const double target = kTailFraction * tol_;
    double distance =
        std::isfinite(boundary) ? std::abs(boundary - c) * kFirstStep : std::max(1.0, std::abs(c)) * kFirstStep;
    if (distance == 0.0) return boundary;
    std::array<double, 1> x{};
    std::array<double, 1> y{};
    auto probe = [&](double at) -> std::expected<double, SetupError> {
      x[0] = at;
      if (auto ok = cdf_values(x, y); !ok) return std::unexpected(ok.error());
      return tail(s, y[0]);
    };
    // A center without mass on this side (a distribution far from it) is the cut.
    auto at_center = probe(c);
    if (!at_center) return std::unexpected(at_center.error());
    if (*at_center <= target) return c;
    double inner = c;
    double outer;
    double outer_tail;
    for (;;) {
      double at = c + s * distance;
      if (std::isfinite(boundary) && s * (at - boundary) >= 0.0) at = boundary;
      if (!(std::abs(at) <= kFarthest)) return std::unexpected(SetupError::divergent());
      auto t = probe(at);
      if (!t) return std::unexpected(t.error());
      if (*t <= target) {
        outer = at;
        outer_tail = *t;
        break;
      }
      if (at == boundary) return boundary;
      inner = at;
      distance *= 2.0;
    }
    for (;;) {
      // While no point with a positive tail is found the search goes on to
      // the last double: the mass may begin right at a pole on the boundary,
      // whose density is no node value.
      if (outer_tail > 0.0 &&
          (outer_tail >= kCutFill * target || std::abs(outer - inner) <= kCutPrecision * std::abs(outer - c))) {
        break;
      }
      const double mid = 0.5 * (inner + outer);
      if (mid == inner || mid == outer) break;
      auto t = probe(mid);
      if (!t) return std::unexpected(t.error());
      if (*t <= target) {
        outer = mid;
        outer_tail = *t;
      } else {
        inner = mid;
      }
    }
    return outer;
  }

  // At a domain end (s: direction into the domain) the u-range between the
  // end and the next double has no x of its own; wider than the resolution
  // (a pole: a beta(1/2, 1/2) at 1 for 1e-10, say) it cannot be met.
  std::expected<void, SetupError> check_pole_gap(const End& end, double s) const {
    if (end.x != opt_.lo && end.x != opt_.hi) return {};
    std::array<double, 1> x{std::nextafter(end.x, end.x + s)};
    std::array<double, 1> p{};
    if (auto ok = cdf_values(x, p); !ok) return ok;
    const double gap = std::abs(p[0] - end.p);
    if (gap > tol_) return std::unexpected(SetupError::resolution_not_met(gap / (p_hi_ - p_lo_)));
    return {};
  }

  // Node data (CDF, and the density and its derivative as the order needs)
  // at every point of xs, in one batch per function.
  std::expected<void, SetupError> make_ends(std::span<const double> xs, std::vector<End>& out) {
    const std::size_t n = xs.size();
    std::vector<double> p(n), f(n), df(n);
    if (auto ok = cdf_values(xs, p); !ok) return ok;
    if (opt_.order >= 3) {
      evaluate(pdf_, xs, std::span(f));
      for (std::size_t i = 0; i < n; ++i) {
        if (!(f[i] >= 0.0 && (std::isfinite(f[i]) || pole_end(xs[i], f[i])))) {
          return std::unexpected(SetupError::bad_value(xs[i], f[i]));
        }
      }
    }
    if (opt_.order == 5) {
      evaluate(dpdf_, xs, std::span(df));
      // Where the density is 0 the node is a straight line's end and its
      // derivative unused (often infinite there, at a support edge); at a
      // pole it is unused too.
      for (std::size_t i = 0; i < n; ++i) {
        if (f[i] > 0.0 && std::isfinite(f[i]) && !std::isfinite(df[i])) {
          return std::unexpected(SetupError::bad_value(xs[i], df[i]));
        }
      }
    }
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
      End e{xs[i], p[i], std::numeric_limits<double>::infinity(), 0.0};
      if (opt_.order >= 3 && f[i] > 0.0) e.dx = 1.0 / f[i];
      if (opt_.order == 5 && f[i] > 0.0) e.d2x = -df[i] * e.dx * e.dx * e.dx;
      // A pole: x(u) is flat there; its curvature is unknown (cubic then).
      if (std::isinf(f[i])) e.d2x = std::numeric_limits<double>::quiet_NaN();
      out.push_back(e);
    }
    return {};
  }

  // Splits intervals round by round until every one meets the resolution.
  std::expected<HinvTable, SetupError> refine(const std::vector<End>& nodes) {
    std::vector<Interval> pending;
    for (std::size_t i = 0; i + 1 < nodes.size(); ++i) {
      auto checked = check_order(nodes[i], nodes[i + 1]);
      if (!checked) return std::unexpected(checked.error());
      if (nodes[i + 1].p > nodes[i].p) pending.push_back({nodes[i], nodes[i + 1], true});
    }
    if (pending.empty()) return std::unexpected(SetupError::no_mass());
    std::vector<Interval> done;
    std::vector<Interval> next;
    std::vector<double> xm, pm;
    std::vector<End> mids;
    std::vector<std::size_t> split;
    std::vector<std::size_t> extra;  // where an interval's extra checks start in xm, or 0
    double worst = 0.0;
    shape.clear();
    while (!pending.empty()) {
      if (done.size() + 2 * pending.size() > kHinvMaxIntervals + 1) {
        return std::unexpected(SetupError::resolution_not_met(worst_pending_ / (p_hi_ - p_lo_)));
      }
      // Midpoint candidates, and the extra checks of straight lines (whose
      // error peaks far from the midpoint next to a support edge or a
      // vanished tail), checked in one batch of CDF values.
      xm.clear();
      for (const Interval& iv : pending) xm.push_back(split_point(iv));
      extra.assign(pending.size(), 0);
      for (std::size_t i = 0; i < pending.size(); ++i) {
        if (!HinvTable::falls_back(opt_.order, pending[i].a, pending[i].b)) continue;
        extra[i] = xm.size();
        for (double t : kLineChecks) xm.push_back(HinvTable::interpolate(opt_.order, pending[i].a, pending[i].b, t));
      }
      pm.resize(xm.size());
      if (auto ok = cdf_values(xm, pm); !ok) return std::unexpected(ok.error());
      next.clear();
      split.clear();
      worst_pending_ = 0.0;
      for (std::size_t i = 0; i < pending.size(); ++i) {
        const Interval& iv = pending[i];
        const double target = 0.5 * (iv.a.p + iv.b.p);
        double err = std::abs(pm[i] - target);
        if (pm[i] < iv.a.p - tol_ || pm[i] > iv.b.p + tol_) {
          return std::unexpected(SetupError::not_monotone(xm[i]));
        }
        if (extra[i] != 0) {
          for (std::size_t k = 0; k < kLineChecks.size(); ++k) {
            err = std::max(err, std::abs(pm[extra[i] + k] - (iv.a.p + kLineChecks[k] * (iv.b.p - iv.a.p))));
          }
        }
        if (iv.b.p - iv.a.p <= tol_) {
          done.push_back(iv);
          continue;
        }
        if (!iv.first_round && err <= kErrorSafety * tol_ && HinvTable::monotone(opt_.order, iv.a, iv.b)) {
          if (extra[i] != 0) {
            worst = std::max(worst, err);
            done.push_back(iv);
          } else {
            // The midpoint alone passes: the shape of the error decides.
            shape.push_back({i, pm[i] - target});
          }
          continue;
        }
        worst_pending_ = std::max(worst_pending_, err);
        if (!(xm[i] > iv.a.x && xm[i] < iv.b.x) ||
            iv.b.x - iv.a.x <= kMinRelWidth * std::max(std::abs(iv.a.x), std::abs(iv.b.x))) {
          return std::unexpected(SetupError::resolution_not_met(err / (p_hi_ - p_lo_)));
        }
        split.push_back(i);
      }
      if (auto ok = check_shapes(pending, xm, done, split, worst); !ok) return std::unexpected(ok.error());
      // New nodes at the split points: the density (and derivative) there.
      std::vector<double> xs;
      for (std::size_t i : split) xs.push_back(xm[i]);
      if (auto ok = make_ends(xs, mids); !ok) return std::unexpected(ok.error());
      for (std::size_t k = 0; k < split.size(); ++k) {
        const Interval& iv = pending[split[k]];
        End mid = mids[k];
        mid.p = std::clamp(pm[split[k]], iv.a.p, iv.b.p);
        // A half without mass is dropped: its x-range carries no u.
        if (mid.p == iv.a.p) {
          next.push_back({mid, iv.b, false});
        } else if (mid.p == iv.b.p) {
          next.push_back({iv.a, mid, false});
        } else {
          next.push_back({iv.a, mid, false});
          next.push_back({mid, iv.b, false});
        }
      }
      pending.swap(next);
    }
    std::ranges::sort(done, [](const Interval& l, const Interval& r) { return l.a.p < r.a.p; });
    HinvTable table(opt_.order, opt_.u_resolution, opt_.lo, opt_.hi);
    for (const Interval& iv : done) {
      if (!table.append(iv.a, iv.b)) return std::unexpected(SetupError::out_of_memory());
    }
    if (!table.finish(done.back().b, worst / (p_hi_ - p_lo_))) return std::unexpected(SetupError::out_of_memory());
    return table;
  }

  // Intervals whose midpoint error passed, with that (signed) error. The
  // interpolation error is w(t) (alpha + beta t) with w = t^2 (1 - t)^2 for
  // cubics and t^3 (1 - t)^3 for quintics (Hermite's remainder, with the
  // derivative of x(u) in it taken as linear across the interval); one more
  // CDF value at kShapeCheck fixes alpha and beta, and the interval is kept
  // when the model's largest error meets the goal. Where the derivative
  // changes fast (near a mode) the error peaks off the midpoint, up to half
  // as high again as there.
  struct ShapeCheck {
    std::size_t interval;
    double midpoint_error;
  };
  std::vector<ShapeCheck> shape;

  std::expected<void, SetupError> check_shapes(const std::vector<Interval>& pending, std::span<const double> xm,
                                               std::vector<Interval>& done, std::vector<std::size_t>& split,
                                               double& worst) {
    if (shape.empty()) return {};
    std::vector<double> xs;
    for (const ShapeCheck& c : shape) {
      const Interval& iv = pending[c.interval];
      xs.push_back(HinvTable::interpolate(opt_.order, iv.a, iv.b, kShapeCheck));
    }
    std::vector<double> ps(xs.size());
    if (auto ok = cdf_values(xs, ps); !ok) return ok;
    const auto weight = [this](double t) { return std::pow(t * (1.0 - t), opt_.order == 5 ? 3 : 2); };
    for (std::size_t k = 0; k < shape.size(); ++k) {
      const Interval& iv = pending[shape[k].interval];
      const double e1 = shape[k].midpoint_error / weight(0.5);
      const double e2 = (ps[k] - (iv.a.p + kShapeCheck * (iv.b.p - iv.a.p))) / weight(kShapeCheck);
      const double beta = (e2 - e1) / (kShapeCheck - 0.5);
      const double alpha = e1 - 0.5 * beta;
      const double measured = std::max(std::abs(shape[k].midpoint_error),
                                       std::abs(ps[k] - (iv.a.p + kShapeCheck * (iv.b.p - iv.a.p))));
      double err = measured;
      for (int step = 1; step < kShapeSteps; ++step) {
        const double t = static_cast<double>(step) / kShapeSteps;
        err = std::max(err, std::abs(weight(t) * (alpha + beta * t)));
      }
      if (err <= kErrorSafety * tol_) {
        worst = std::max(worst, measured);
        done.push_back(iv);
      } else {
        worst_pending_ = std::max(worst_pending_, err);
        if (!(xm[shape[k].interval] > iv.a.x && xm[shape[k].interval] < iv.b.x)) {
          return std::unexpected(SetupError::resolution_not_met(err / (p_hi_ - p_lo_)));
        }
        split.push_back(shape[k].interval);
      }
    }
    shape.clear();
    return {};
  }

  std::expected<void, SetupError> check_order(const End& a, const End& b) const {
    if (b.p < a.p - tol_) return std::unexpected(SetupError::not_monotone(b.x));
    return {};
  }

  // The interpolated x at the u-midpoint, or the x-midpoint where the
  // interpolant cannot be trusted.
  double split_point(const Interval& iv) const {
    const double x = HinvTable::interpolate(opt_.order, iv.a, iv.b, 0.5);
    if (x > iv.a.x && x < iv.b.x) return x;
    return 0.5 * (iv.a.x + iv.b.x);
  }

  const Cdf& cdf_;
  const Pdf& pdf_;
  const Dpdf& dpdf_;
  HinvOptions opt_;
  double p_lo_ = 0.0;
  double p_hi_ = 1.0;
  double cut_lo_ = 0.0;
  double cut_hi_ = 0.0;
  double tol_ = 0.0;
  double worst_pending_ = 0.0;
};

}  // namespace hinv_detail

template <class Cdf, class Pdf, class Dpdf>
[[nodiscard]] std::expected<HinvTable, SetupError> build_hinv(const Cdf& cdf, const Pdf& pdf, const Dpdf& dpdf,
                                                              const HinvOptions& options) {
  return hinv_detail::Builder<Cdf, Pdf, Dpdf>(cdf, pdf, dpdf, options).run();
}

}  // namespace varlix
