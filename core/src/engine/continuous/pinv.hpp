// Polynomial interpolation of the inverse CDF from the density alone (PINV):
// Derflinger, Hörmann & Leydold 2010, "Random variate generation by numerical
// inversion when only the density is known", ACM TOMACS 20(4), article 18.
//
// The right tool when only a (possibly unnormalized) density is at hand and
// many draws or quantiles are wanted: after the setup a quantile costs a
// table lookup and one polynomial of the chosen order, and the u-error
// |F(ppf(u)) - u| stays below the requested u-resolution.
//
// Setup:
//  1. A center with positive density (the caller's, or the best point of a
//     search when the density vanishes there).
//  2. Cut points: each tail whose mass is below kTailFraction * u_resolution
//     of the area is dropped. The mass beyond x is bounded by the tail of the
//     tangent to f^(-1/2) at x (exact for T_c-concave tails with c >= -1/2),
//     found by doubling steps outward and bisection.
//  3. The area by adaptive Gauss-Lobatto quadrature (it scales the error
//     goal; the table keeps the sum of its own interval masses).
//  4. Intervals from left to right: on [a, a + h] the order + 1 Chebyshev
//     points are the nodes, their CDF increments come from five-point
//     Gauss-Lobatto on each piece, and the Newton form interpolates x(u). The
//     u-error is measured between neighbouring nodes (where the node
//     polynomial has its extrema) by integrating from the left node to the
//     interpolated x. h shrinks or grows with the ratio of error to goal.
//     The cumulative masses are summed with compensation.
//
// Beyond the paper: a density that is +inf at a finite end of the domain (a
// pole, such as a gamma density of shape below 1 at 0) is cut next to the
// pole where the mass left out, estimated from the local power law
// f ~ d^-a, is negligible; intervals close to it integrate adaptively and
// test points near the pole. A pole whose mass cannot be cut finely enough
// within double precision reports ResolutionNotMet; a ≥ 1 reports Divergent.
// A density that jumps to zero has its cut on the last point with density;
// zero-mass stretches inside the support are skipped (a jump in x).
//
// API (all the binding needs):
//   build_pinv(f, PinvOptions) -> std::expected<PinvTable, SetupError>
//     f: const-callable double(double), optionally with eval_batch (one call
//     per batch of nodes). Options are trusted: 3 <= order <= 17,
//     1e-15 <= u_resolution <= 1e-5, lo < hi, center not NaN.
//   table.ppf(u)              quantile; u outside [0, 1] or NaN -> NaN
//   table.sample(source, out) out[i] = ppf(source.next_double()), no allocation
//   table.cdf(x)              CDF of the approximation (inverts the polynomial)
//   table.u_error(cdf, us)    expected<UError{max, mean}>: |cdf(ppf(u)) - u|
//                             over us, with cdf the user's exact CDF
//                             (normalized to the given domain); NaN when cdf
//                             returns NaN
//   intervals(), order(), u_resolution(), area() (the density's integral),
//   support_lo()/support_hi() (cut points), domain_lo()/domain_hi(),
//   max_error() (largest u-error seen at the test points)
//   to_words() / PinvTable::from_words(words) for pickling.
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
#include <utility>
#include <vector>

#include "continuous/gauss_lobatto.hpp"
#include "continuous/interval_guide.hpp"
#include "continuous/u_error.hpp"
#include "evaluate.hpp"
#include "memory.hpp"
#include "setup_error.hpp"
#include "uniform_source.hpp"

namespace varlix {

struct PinvOptions {
  int order = 5;
  double u_resolution = 1e-10;
  double lo = -std::numeric_limits<double>::infinity();
  double hi = std::numeric_limits<double>::infinity();
  double center = 0.0;
};

inline constexpr int kPinvMinOrder = 3;
inline constexpr int kPinvMaxOrder = 17;
// The interval budget: enough for order 3 at u-resolution 1e-15 on a normal
// density, small enough that a hopeless density fails within seconds.
inline constexpr std::size_t kPinvMaxIntervals = 10000;

class PinvTable {
 public:
  [[nodiscard]] double ppf(double u) const;

  // One inlined pass for the common orders, the interpolation unrolled:
  // consecutive draws (and the source's work) overlap in the processor.
  // Other orders: the uniforms first, then their images in one pass.
  template <UniformSource S>
  void sample(S& source, std::span<double> out) const {
    switch (order_) {
      case 3: return sample_fixed<3>(source, out);
      case 5: return sample_fixed<5>(source, out);
      case 7: return sample_fixed<7>(source, out);
      default:
        for (double& x : out) x = source.next_double();
        ppf_in_place(out);
    }
  }

  [[nodiscard]] double cdf(double x) const;

  template <class C>
  [[nodiscard]] std::expected<UError, SetupError> u_error(const C& cdf, std::span<const double> us) const {
    return measure_u_error(*this, cdf, domain_lo_, domain_hi_, us);
  }

  [[nodiscard]] std::size_t intervals() const { return x_starts_.size() - 1; }
  [[nodiscard]] int order() const { return order_; }
  [[nodiscard]] double u_resolution() const { return u_resolution_; }
  [[nodiscard]] double area() const { return u_starts_.back(); }
  [[nodiscard]] double support_lo() const { return x_starts_.front(); }
  [[nodiscard]] double support_hi() const { return x_starts_.back(); }
  [[nodiscard]] double domain_lo() const { return domain_lo_; }
  [[nodiscard]] double domain_hi() const { return domain_hi_; }
  [[nodiscard]] double max_error() const { return max_error_; }

  [[nodiscard]] std::vector<double> to_words() const;
  [[nodiscard]] static std::expected<PinvTable, SetupError> from_words(std::span<const double> words);

  friend bool operator==(const PinvTable&, const PinvTable&) = default;

  // For the builder: an empty table of the given shape.
  PinvTable(int order, double u_resolution, double domain_lo, double domain_hi)
      : order_(order), u_resolution_(u_resolution), domain_lo_(domain_lo), domain_hi_(domain_hi) {}
  // Appends one interval: its start (x, cumulative mass), the local u nodes
  // v_1..v_{n-1} and the Newton coefficients c_1..c_n (c_0 is x itself).
  [[nodiscard]] bool append(double x, double u, std::span<const double> nodes, std::span<const double> coefs);
  // Closes the table at (x, u) and builds the guide; false when out of memory.
  [[nodiscard]] bool finish(double x, double u, double max_error);
  [[nodiscard]] std::size_t appended() const { return x_starts_.size(); }

 private:
  [[nodiscard]] double ppf_unchecked(double u) const;
  // values[i] = ppf_unchecked(values[i]) for u values in [0, 1].
  void ppf_in_place(std::span<double> values) const;
  // ppf_unchecked of each uniform with the order N fixed at compile time:
  // the same operations in the same order as newton(), unrolled.
  // (The table's data is read into locals first: the loop keeps them in
  // registers across the source's calls.)
  template <std::size_t N, UniformSource S>
  void sample_fixed(S& source, std::span<double> out) const {
    const IntervalGuide::View guide = guide_.view();
    const double* u_starts = u_starts_.data();
    const std::size_t m = u_starts_.size() - 1;
    const double total = u_starts[m];
    const double* x_starts = x_starts_.data();
    const double* coefs = coefs_.data();
    const double* all_nodes = nodes_.data();
    for (double& x : out) {
      const double target = source.next_double() * total;
      const std::size_t i = guide.locate(u_starts, m, target);
      const double v = target - u_starts[i];
      const double* c = coefs + i * N;
      const double* nodes = all_nodes + i * (N - 1);
      double p = c[N - 1];
#pragma GCC unroll 16
      for (std::size_t j = N - 1; j >= 1; --j) p = p * (v - nodes[j - 1]) + c[j - 1];
      x = std::clamp(p * v + x_starts[i], x_starts[i], x_starts[i + 1]);
    }
  }
  [[nodiscard]] double newton(std::size_t i, double v) const;
  [[nodiscard]] std::pair<double, double> newton_with_slope(std::size_t i, double v) const;
  [[nodiscard]] double local_inverse(std::size_t i, double x) const;

  int order_ = 5;
  double u_resolution_ = 1e-10;
  double domain_lo_ = 0.0;
  double domain_hi_ = 0.0;
  double max_error_ = 0.0;
  std::vector<double> u_starts_;  // m + 1 cumulative masses, from 0 to the area
  std::vector<double> x_starts_;  // m + 1 interval ends, support_lo .. support_hi
  std::vector<double> nodes_;     // (order - 1) local u nodes per interval
  std::vector<double> coefs_;     // order Newton coefficients per interval
  IntervalGuide guide_;
};

namespace pinv_detail {

// Tails whose mass is below this fraction of u_resolution * area are cut:
// the u-error they add stays a twentieth of the goal.
inline constexpr double kTailFraction = 0.05;
// Test-point u-errors are held below this fraction of the goal, leaving room
// for points between the test points where the error is a little larger.
inline constexpr double kErrorSafety = 0.9;
// The slope of f^(-1/2) at x is taken over this fraction of x's distance to
// the center: the chord lies below the tangent of a convex function, so the
// tail bound stays on the safe side.
inline constexpr double kSlopeStep = 1e-3;
// A cut point is located to this fraction of its distance from the center...
inline constexpr double kCutPrecision = 1e-2;
// ...and the edge of a support (density zero beyond it) far more closely, so
// that no interpolation interval starts inside a region without mass.
inline constexpr double kEdgePrecision = 1e-13;
// Where the outward search of an infinite tail begins, relative to
// max(1, |center|): small enough for narrow peaks, doubling reaches wide ones.
inline constexpr double kFirstStep = 1.0 / 1024.0;
// Beyond this no density's tail is followed: the integral is divergent.
inline constexpr double kFarthest = 1e300;
// The area needs only a few digits: it scales the error goal.
inline constexpr double kAreaTolerance = 1e-7;
// A table whose masses sum to an area this far (relatively) from the
// estimate that set its error goal is built again with its own area.
inline constexpr double kAreaMismatch = 1e-3;
// Step control: h grows by at most this factor after an accepted interval...
inline constexpr double kMaxGrowth = 2.0;
// ...and shrinks by at most this factor after a rejected one.
inline constexpr double kMaxShrink = 0.01;
// A shortfall in the step-size prediction is covered by this factor.
inline constexpr double kStepSafety = 0.85;
// A rest of the domain shorter than this many steps joins the current interval.
inline constexpr double kJoinRest = 1.3;
// Intervals narrower than this relative to |x| cannot be told apart from
// rounding; the density cannot be inverted to the resolution there.
inline constexpr double kMinRelWidth = 1e-13;
inline constexpr double kNoPole = std::numeric_limits<double>::quiet_NaN();
// A pole whose mass beyond the last double is above the tail target is
// still cut there when the mass is within this multiple of the target: the
// tail and the interpolation goal (kTailFraction + kErrorSafety) leave that
// much of the resolution unused.
inline constexpr double kLastDoubleAllowance = 2.0;
// Pieces next to a pole are integrated adaptively to this fraction of the goal.
inline constexpr double kPoleAccuracy = 1e-2;
// Intervals within this many of their widths from a pole get extra test
// points at these relative positions close to the pole's side.
inline constexpr double kPoleReach = 4.0;
inline constexpr std::array<double, 5> kPoleTests{1e-1, 3e-2, 1e-2, 1e-4, 1e-6};
// Rejected intervals allowed in all before giving up: a density that can be
// inverted needs a small fraction of this.
inline constexpr std::size_t kMaxRejections = kPinvMaxIntervals;

// Chebyshev points (extrema of T_n) of [0, 1] and, between each pair, the
// relative position of the T_n root there: where |node polynomial| peaks.
struct NodePattern {
  std::array<double, kPinvMaxOrder + 1> nodes{};
  std::array<double, kPinvMaxOrder> test{};
};
[[nodiscard]] NodePattern node_pattern(int order);

// Newton divided differences in place: values[j] becomes c_j for the nodes v.
void divided_differences(std::span<const double> v, std::span<double> values);
// The Newton form with coefficients c at nodes v, evaluated at t.
[[nodiscard]] double newton_value(std::span<const double> v, std::span<const double> c, double t);

// An upper bound on the mass beyond x (going away from the center) from the
// density at x and at a point `step` closer to the center.
[[nodiscard]] double tail_bound(double fx, double f_inner, double step);

template <class F>
class Builder {
 public:
  Builder(const F& f, const PinvOptions& options) : f_(f), opt_(options) {}

  std::expected<PinvTable, SetupError> run() {
    auto center = find_center();
    if (!center) return std::unexpected(center.error());
    c_ = center->first;
    fc_ = center->second;
    auto left = find_cut(-1.0, opt_.lo, std::numeric_limits<double>::quiet_NaN());
    if (!left) return std::unexpected(left.error());
    auto right = find_cut(1.0, opt_.hi, std::numeric_limits<double>::quiet_NaN());
    if (!right) return std::unexpected(right.error());
    auto area = total_area(*left, *right, kAreaTolerance * (left->mass + right->mass));
    if (!area) return std::unexpected(area.error());
    // The provisional goal of a cut used a partial area; check it against the whole.
    const double target = kTailFraction * opt_.u_resolution * *area;
    bool moved = false;
    if (left->bound > target) {
      left = find_cut(-1.0, opt_.lo, target, *left);
      if (!left) return std::unexpected(left.error());
      moved = true;
    }
    if (right->bound > target) {
      right = find_cut(1.0, opt_.hi, target, *right);
      if (!right) return std::unexpected(right.error());
      moved = true;
    }
    if (moved) {
      area = total_area(*left, *right, kAreaTolerance * *area);
      if (!area) return std::unexpected(area.error());
    }
    if (!(*area > 0.0)) return std::unexpected(SetupError::no_mass());
    if (!std::isfinite(*area)) return std::unexpected(SetupError::divergent());
    pole_left_ = left->pole;
    pole_right_ = right->pole;
    auto table = intervals(left->x, left->fx, right->x, *area);
    // The intervals' own masses are the better area; where the first
    // estimate was far off, so was the error goal, and the table is redone.
    if (table && std::abs(table->area() - *area) > kAreaMismatch * table->area()) {
      table = intervals(left->x, left->fx, right->x, table->area());
    }
    return table;
  }

 private:
  struct Cut {
    double x;
    double fx;
    double bound;      // the tail mass bound beyond x
    double distance;   // |x - center| where the search stood (|x - boundary| at a pole)
    double mass;       // trapezoid estimate of the mass from the center to x
    bool pole = false; // the density is infinite at the boundary beyond x
  };

  // The area between the cuts, in two parts meeting at the center: a peak
  // at the center is then an end point of both, found without halving.
  std::expected<double, SetupError> total_area(const Cut& left, const Cut& right, double tolerance) {
    if (!(tolerance > 0.0)) {
      // No mass seen on the way to the cuts (a pole, or a center on the
      // domain's end): a first rough pass sets the scale.
      auto rough = total_area(left, right, std::numeric_limits<double>::infinity());
      if (!rough) return rough;
      tolerance = kAreaTolerance * *rough;
      if (!(tolerance > 0.0)) return *rough;
    }
    double sum = 0.0;
    if (left.x < c_) {
      auto part = integrate_gauss_lobatto(f_, left.x, c_, left.fx, fc_, tolerance, left.pole ? opt_.lo : kNoPole);
      if (!part) return part;
      sum += *part;
    }
    if (c_ < right.x) {
      auto part = integrate_gauss_lobatto(f_, c_, right.x, fc_, right.fx, tolerance, right.pole ? opt_.hi : kNoPole);
      if (!part) return part;
      sum += *part;
    }
    return sum;
  }

  // Pairs of points (x, x moved toward the center) evaluated in one batch.
  std::expected<void, SetupError> eval(std::span<const double> xs, std::span<double> ys) {
    return evaluate_density(f_, xs, ys);
  }

  std::expected<std::pair<double, double>, SetupError> find_center() {
    double c = opt_.center;
    if (!(c >= opt_.lo && c <= opt_.hi)) c = clamp_center(c);
    std::array<double, 1> x{c};
    std::array<double, 1> y{};
    evaluate(f_, std::span<const double>(x), std::span<double>(y));
    // A pole at a domain end (a gamma density with shape below 1 at 0, say)
    // is no center, but no fault either: the cut search steps away from it.
    const bool pole = y[0] == std::numeric_limits<double>::infinity() && (c == opt_.lo || c == opt_.hi);
    if (!pole && !(y[0] >= 0.0 && std::isfinite(y[0]))) return std::unexpected(SetupError::bad_value(c, y[0]));
    if (y[0] > 0.0 && !pole) return std::pair{c, y[0]};
    return search_center(c);
  }

  double clamp_center(double c) const {
    if (std::isfinite(opt_.lo) && std::isfinite(opt_.hi)) return 0.5 * (opt_.lo + opt_.hi);
    if (!std::isfinite(c)) c = 0.0;
    if (std::isfinite(opt_.lo)) return c < opt_.lo ? opt_.lo : c;
    return c > opt_.hi ? opt_.hi : c;
  }

  // The density vanishes at the given center: look along doubling distances
  // on both sides and, on a finite domain, a regular grid; keep the point
  // with the largest density.
  std::expected<std::pair<double, double>, SetupError> search_center(double c) {
    constexpr int kFirstPower = -20;
    constexpr int kLastPower = 100;
    constexpr int kGridPoints = 1024;
    std::vector<double> xs;
    const double scale = std::max(1.0, std::abs(c));
    for (int k = kFirstPower; k <= kLastPower; ++k) {
      for (double s : {-1.0, 1.0}) {
        const double x = c + s * std::ldexp(scale, k);
        if (x > opt_.lo && x < opt_.hi) xs.push_back(x);
      }
    }
    if (std::isfinite(opt_.lo) && std::isfinite(opt_.hi)) {
      for (int k = 1; k < kGridPoints; ++k) xs.push_back(opt_.lo + (opt_.hi - opt_.lo) * k / kGridPoints);
    }
    std::vector<double> ys(xs.size());
    if (auto ok = eval(xs, ys); !ok) return std::unexpected(ok.error());
    std::size_t best = xs.size();
    for (std::size_t i = 0; i < xs.size(); ++i) {
      if (ys[i] > 0.0 && (best == xs.size() || ys[i] > ys[best])) best = i;
    }
    if (best == xs.size()) return std::unexpected(SetupError::no_mass());
    return std::pair{xs[best], ys[best]};
  }

  // Density and tail bound at x = center + s * distance.
  std::expected<Cut, SetupError> probe(double s, double x) {
    const double distance = std::abs(x - c_);
    const double step = kSlopeStep * distance;
    std::array<double, 2> xs{x, x - s * step};
    std::array<double, 2> ys{};
    if (auto ok = eval(xs, ys); !ok) return std::unexpected(ok.error());
    return Cut{x, ys[0], tail_bound(ys[0], ys[1], step), distance, 0.0};
  }

  // The probe at `distance` from the center (at most the boundary) when the
  // density there is higher than at `p`: then `p` was no tail.
  std::expected<std::optional<Cut>, SetupError> confirm(double s, double boundary, const Cut& p, double distance) {
    if (p.x == boundary) return std::nullopt;
    double x = c_ + s * distance;
    if (std::isfinite(boundary) && s * (x - boundary) >= 0.0) x = boundary;
    if (!(std::abs(x) <= kFarthest)) return std::nullopt;
    auto q = probe(s, x);
    if (!q) return std::unexpected(q.error());
    if (q->fx > p.fx) return std::optional<Cut>(*q);
    return std::nullopt;
  }

  // The cut point on side s (-1 left, +1 right) with boundary `bound`: the
  // nearest point found whose tail mass bound is below the target, or the
  // boundary when none is. A NaN target is provisional: kTailFraction *
  // u_resolution of the trapezoid area seen on the way out. `from` resumes
  // a search beyond an earlier cut.
  std::expected<Cut, SetupError> find_cut(double s, double boundary, double target, Cut from = {}) {
    if (from.pole) return find_pole_cut(s, boundary, target, from);
    if (std::isfinite(boundary) && from.distance == 0.0 && boundary != c_) {
      std::array<double, 1> x{boundary};
      std::array<double, 1> y{};
      evaluate(f_, std::span<const double>(x), std::span<double>(y));
      if (y[0] == std::numeric_limits<double>::infinity()) return find_pole_cut(s, boundary, target, from);
    }
    const bool provisional = std::isnan(target);
    double trapezoid = 0.0;
    Cut inner{c_, fc_, std::numeric_limits<double>::infinity(), 0.0, 0.0};
    double distance;
    if (from.distance > 0.0) {
      inner = from;
      distance = 2.0 * from.distance;
    } else if (std::isfinite(boundary)) {
      if (boundary == c_) return Cut{c_, fc_, 0.0, 0.0, 0.0};
      distance = std::abs(boundary - c_) * kFirstStep;
    } else {
      distance = std::max(1.0, std::abs(c_)) * kFirstStep;
    }
    auto goal = [&] { return provisional ? kTailFraction * opt_.u_resolution * trapezoid : target; };
    auto negligible = [&](const Cut& p) { return p.fx == 0.0 || p.bound <= goal(); };
    Cut outer{};
    for (;;) {
      double x = c_ + s * distance;
      if (std::isfinite(boundary) && s * (x - boundary) >= 0.0) x = boundary;
      if (!(std::abs(x) <= kFarthest)) return std::unexpected(SetupError::divergent());
      auto p = probe(s, x);
      if (!p) return std::unexpected(p.error());
      trapezoid += 0.5 * (inner.fx + p->fx) * std::abs(p->x - inner.x);
      p->mass = trapezoid;
      if (negligible(*p)) {
        // One step further must agree: a step that lands on an isolated
        // zero or a deep valley between two modes is no tail.
        auto further = confirm(s, boundary, *p, 2.0 * distance);
        if (!further) return std::unexpected(further.error());
        if (!further->has_value()) {
          outer = *p;
          break;
        }
        trapezoid += 0.5 * (p->fx + (**further).fx) * std::abs((**further).x - p->x);
        (**further).mass = trapezoid;
        *p = **further;
        distance *= 2.0;
      }
      if (p->x == boundary) return *p;
      inner = *p;
      distance *= 2.0;
    }
    // Bisection between inner (tail not negligible) and outer (negligible).
    for (;;) {
      const double precision = outer.fx == 0.0 ? kEdgePrecision : kCutPrecision;
      if (std::abs(outer.x - inner.x) <= precision * std::abs(outer.x - c_)) break;
      const double mid = 0.5 * (inner.x + outer.x);
      if (mid == inner.x || mid == outer.x) break;
      auto p = probe(s, mid);
      if (!p) return std::unexpected(p.error());
      p->mass = outer.mass;
      if (negligible(*p)) {
        outer = *p;
      } else {
        inner = *p;
      }
    }
    // At a jump to zero the last point with density is the better end: an
    // interval ending where f is 0 would integrate a step it cannot see.
    if (outer.fx == 0.0 && inner.distance > 0.0) {
      // A density that grows toward a domain end where it reads 0 (a pole
      // the function reports as 0 there) would leave mass in the gap.
      if (outer.x == boundary && inner.fx * std::abs(outer.x - inner.x) > goal()) {
        return find_pole_cut(s, boundary, target, Cut{});
      }
      inner.mass = outer.mass;
      inner.bound = outer.bound;
      return inner;
    }
    return outer;
  }

  // The cut next to a pole at a finite boundary: points approach it by
  // halving their distance d; the local exponent a of f ~ d^-a comes from
  // two neighbours, and the mass between the boundary and x is d f(x) / (1 - a).
  // a >= 1 all the way in: the integral diverges.
  std::expected<Cut, SetupError> find_pole_cut(double s, double boundary, double target, const Cut& from) {
    const bool provisional = std::isnan(target);
    const double goal = provisional ? kTailFraction * opt_.u_resolution * fc_ * std::abs(boundary - c_) : target;
    double d = from.pole ? 0.5 * from.distance : 0.5 * std::abs(boundary - c_);
    double previous = from.pole ? from.fx : std::numeric_limits<double>::quiet_NaN();
    Cut last = from;  // the last point with a finite bound, when from.pole
    std::array<double, 1> x{};
    std::array<double, 1> y{};
    for (;;) {
      x[0] = boundary - s * d;
      if (x[0] == boundary) {
        // No double lies closer to the pole. Its mass may still fit within
        // the resolution's margin beyond the interpolation goal (a
        // provisional goal leaves that to the check against the area); if
        // not, it cannot be cut finely enough.
        if (last.pole && (provisional || last.bound <= kLastDoubleAllowance * goal)) return last;
        if (last.pole) return std::unexpected(SetupError::resolution_not_met(last.bound / (goal / (kTailFraction * opt_.u_resolution))));
        return std::unexpected(SetupError::divergent());
      }
      evaluate(f_, std::span<const double>(x), std::span<double>(y));
      // Overflow next to a pole: f grows at least like 1/d, whose integral diverges.
      if (y[0] == std::numeric_limits<double>::infinity()) return std::unexpected(SetupError::divergent());
      if (!(y[0] >= 0.0 && std::isfinite(y[0]))) return std::unexpected(SetupError::bad_value(x[0], y[0]));
      if (y[0] == 0.0) return Cut{x[0], 0.0, 0.0, d, from.mass, false};
      if (previous > 0.0) {
        const double a = std::log2(y[0] / previous);
        const double bound = a < 1.0 ? d * y[0] / (1.0 - a) : std::numeric_limits<double>::infinity();
        if (bound <= goal) return Cut{x[0], y[0], bound, d, from.mass, true};
        if (std::isfinite(bound)) last = Cut{x[0], y[0], bound, d, from.mass, true};
      }
      previous = y[0];
      d *= 0.5;
    }
  }

  // Step 4: the interpolation intervals over [a, b].
  std::expected<PinvTable, SetupError> intervals(double a, double fa, double b, double area) {
    const auto n = static_cast<std::size_t>(opt_.order);
    pattern_ = node_pattern(opt_.order);
    a_ = a;
    b_ = b;
    goal_ = kErrorSafety * opt_.u_resolution * area;
    PinvTable table(opt_.order, opt_.u_resolution, opt_.lo, opt_.hi);
    x_.assign(n + 1, 0.0);
    fx_.assign(n + 1, 0.0);
    u_.assign(n + 1, 0.0);
    c_coef_.assign(n + 1, 0.0);
    xs_.assign(4 * (n + 2 * kPoleTests.size()), 0.0);
    ys_.assign(xs_.size(), 0.0);

    double left = a;
    double f_left = fa;
    CompensatedSum mass;
    double h = initial_step(a, b);
    // Next to a pole the first width is bounded by rounding: start there.
    const std::array<double, 1> f_start{fa};
    if (const double rounding = rounding_error(f_start, h); rounding > goal_) h *= kStepSafety * goal_ / rounding;
    double worst = 0.0;
    std::size_t rejected = 0;
    while (left < b) {
      const double right = (b - left) <= kJoinRest * h ? b : left + h;
      const double width = right - left;
      if (width <= kMinRelWidth * std::max(std::abs(left), std::abs(right)) || table.appended() >= kPinvMaxIntervals ||
          rejected > kMaxRejections) {
        // The error of the last interval turned down is what could not be met.
        return std::unexpected(SetupError::resolution_not_met(last_rejected_ / area));
      }
      auto increasing = measure_nodes(left, f_left, right);
      if (!increasing) return std::unexpected(increasing.error());
      if (u_[n] == 0.0) {
        // No mass at all: the interval adds nothing to the table; the next
        // one starts behind it.
        left = right;
        f_left = fx_[n];
        h = width * kMaxGrowth;
        continue;
      }
      auto error = interval_error(*increasing, width);
      if (!error) return std::unexpected(error.error());
      if (*error <= goal_) {
        if (!table.append(left, mass.value(), std::span(u_).subspan(1, n - 1), std::span(c_coef_).subspan(1, n))) {
          return std::unexpected(SetupError::out_of_memory());
        }
        worst = std::max(worst, *error);
        mass.add(u_[n]);
        left = right;
        f_left = fx_[n];
      } else {
        ++rejected;
        last_rejected_ = *error;
      }
      // A rounding limit shrinks in proportion to the width, not its power.
      h = rounding_limited_ ? width * std::max(kMaxShrink, kStepSafety * goal_ / *error)
                            : next_step(width, *error, goal_, opt_.order);
      // A rejected interval that had joined the rest of the domain must not
      // be joined again at the same width.
      if (*error > goal_ && right == b) h = std::min(h, kStepSafety * width / kJoinRest);
    }
    if (table.appended() == 0) return std::unexpected(SetupError::no_mass());
    if (!table.finish(b, mass.value(), worst / mass.value())) return std::unexpected(SetupError::out_of_memory());
    return table;
  }

  // Neumaier's compensated sum: a thousand rounded additions of interval
  // masses would otherwise cost the 1e-15 resolutions their last digit.
  struct CompensatedSum {
    double sum = 0.0;
    double carry = 0.0;
    void add(double v) {
      const double t = sum + v;
      carry += std::abs(sum) >= std::abs(v) ? (sum - t) + v : (v - t) + sum;
      sum = t;
    }
    [[nodiscard]] double value() const { return sum + carry; }
  };

  // The nodes of [left, right], the density there and at the Gauss-Lobatto
  // points between them (one batch), and the CDF increments u_ from left;
  // true when they increase strictly.
  std::expected<bool, SetupError> measure_nodes(double left, double f_left, double right) {
    const std::size_t n = x_.size() - 1;
    const double width = right - left;
    x_[0] = left;
    fx_[0] = f_left;
    for (std::size_t j = 1; j < n; ++j) x_[j] = left + width * pattern_.nodes[j];
    x_[n] = right;
    for (std::size_t j = 1; j <= n; ++j) {
      xs_[j - 1] = x_[j];
      const std::array<double, 3> in = gauss_lobatto::interior(x_[j - 1], x_[j]);
      std::copy(in.begin(), in.end(), xs_.begin() + static_cast<std::ptrdiff_t>(n + 3 * (j - 1)));
    }
    if (auto ok = eval(std::span(xs_).first(4 * n), std::span(ys_).first(4 * n)); !ok) {
      return std::unexpected(ok.error());
    }
    u_[0] = 0.0;
    bool increasing = true;
    for (std::size_t j = 1; j <= n; ++j) {
      fx_[j] = ys_[j - 1];
      const std::size_t at = n + 3 * (j - 1);
      const std::array<double, 3> inner{ys_[at], ys_[at + 1], ys_[at + 2]};
      const double pole = pole_near(left, right);
      auto piece = !std::isnan(pole)
                       ? integrate_gauss_lobatto(f_, x_[j - 1], x_[j], fx_[j - 1], fx_[j], kPoleAccuracy * goal_, pole)
                       : gauss_lobatto::rule(x_[j - 1], x_[j], fx_[j - 1], inner, fx_[j]);
      if (!piece) return std::unexpected(piece.error());
      u_[j] = u_[j - 1] + *piece;
      increasing = increasing && u_[j] > u_[j - 1];
    }
    return increasing;
  }

  // The u-error of the interval measured by u_ (Newton coefficients left in
  // c_coef_), infinite where it cannot be interpolated.
  std::expected<double, SetupError> interval_error(bool increasing, double width) {
    const std::size_t n = x_.size() - 1;
    if (u_[n] <= goal_) {
      // Less mass than the error goal: any x of the interval is close
      // enough in u, so a straight line serves (and the Newton form of
      // a polynomial through steps of underflowing mass would overflow).
      for (std::size_t j = 1; j < n; ++j) u_[j] = u_[n] * pattern_.nodes[j];
      std::ranges::fill(c_coef_, 0.0);
      c_coef_[1] = width / u_[n];
      return 0.0;
    }
    // The polynomial's value carries a rounding error of some ulps of the
    // interval's width; where the density is huge (next to a pole) that
    // alone exceeds the goal in u, whatever the test points say.
    rounding_limited_ = false;
    if (const double rounding = rounding_error(fx_, width); rounding > goal_) {
      rounding_limited_ = true;
      return rounding;
    }
    if (!increasing) return std::numeric_limits<double>::infinity();
    return test_error(x_, fx_, u_, c_coef_, pattern_, xs_, ys_);
  }

  // The u-error that rounding in the Newton form alone can cause: a few
  // ulps of the interval's width, times the density.
  static double rounding_error(std::span<const double> fx, double width) {
    constexpr double kUlps = 4.0;  // Horner steps add about one rounding each at the ends' scale
    return kUlps * std::numeric_limits<double>::epsilon() * width * std::ranges::max(fx);
  }

  static double initial_step(double a, double b) {
    constexpr double kFirstIntervals = 16.0;  // a first guess, corrected by the step control
    return (b - a) / kFirstIntervals;
  }

  static double next_step(double width, double error, double goal, int n) {
    if (!(error > 0.0)) return width * kMaxGrowth;
    if (!std::isfinite(error)) return width * 0.5;
    const double ratio = kStepSafety * std::pow(goal / error, 1.0 / (n + 1));
    return width * std::clamp(ratio, kMaxShrink, kMaxGrowth);
  }

  // Interpolates x(u) through the nodes and returns the largest u-error at
  // the test points: the true CDF increment from the left node to the
  // interpolated x, against the u it was interpolated at.
  std::expected<double, SetupError> test_error(std::span<const double> x, std::span<const double> fx,
                                               std::span<const double> u, std::span<double> c,
                                               const NodePattern& pattern, std::span<double> xs,
                                               std::span<double> ys) {
    const std::size_t n = x.size() - 1;
    std::copy(x.begin(), x.end(), c.begin());
    divided_differences(u, c);
    struct Test {
      std::size_t k;  // between nodes k - 1 and k
      double r;       // relative position there
      bool adaptive;
    };
    std::array<Test, kPinvMaxOrder + 2 * kPoleTests.size()> tests{};
    std::size_t count = 0;
    const bool pole = !std::isnan(pole_near(x[0], x[n]));
    for (std::size_t k = 1; k <= n; ++k) tests[count++] = {k, pattern.test[k - 1], pole};
    // Next to a pole the density changes by orders of magnitude within the
    // first piece, and so does the u-error: it peaks close to the node.
    if (pole && pole_left_) {
      for (double r : kPoleTests) tests[count++] = {1, r, true};
    }
    if (pole && pole_right_) {
      for (double r : kPoleTests) tests[count++] = {n, 1.0 - r, true};
    }
    std::array<double, kPinvMaxOrder + 2 * kPoleTests.size()> t{};
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t k = tests[i].k;
      t[i] = u[k - 1] + tests[i].r * (u[k] - u[k - 1]);
      const double xt = newton_value(u, c, t[i]);
      // The inverse CDF is increasing: an interpolant that leaves the
      // nodes' bracket is no approximation of it.
      if (!(xt > x[k - 1] && xt < x[k])) return std::numeric_limits<double>::infinity();
      xs[4 * i] = xt;
      const std::array<double, 3> in = gauss_lobatto::interior(x[k - 1], xt);
      std::copy(in.begin(), in.end(), xs.begin() + static_cast<std::ptrdiff_t>(4 * i + 1));
    }
    if (auto ok = eval(xs.first(4 * count), ys.first(4 * count)); !ok) return std::unexpected(ok.error());
    double worst = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t k = tests[i].k;
      const std::size_t at = 4 * i;
      const std::array<double, 3> in{ys[at + 1], ys[at + 2], ys[at + 3]};
      auto piece = tests[i].adaptive
                       ? integrate_gauss_lobatto(f_, x[k - 1], xs[at], fx[k - 1], ys[at], kPoleAccuracy * goal_,
                                                 pole_near(x[0], x[n]))
                       : gauss_lobatto::rule(x[k - 1], xs[at], fx[k - 1], in, ys[at]);
      if (!piece) return std::unexpected(piece.error());
      const double ut = u[k - 1] + *piece;
      worst = std::max(worst, std::abs(ut - t[i]));
    }
    return worst;
  }

  // The pole within kPoleReach widths of an interval, or NaN: the fixed rule
  // is off there by the same fraction at every scale (f ~ d^-a looks alike
  // under any magnification), which no comparison of pieces would reveal,
  // so the interval's pieces are integrated adaptively.
  double pole_near(double left, double right) const {
    const double width = right - left;
    if (pole_left_ && left - a_ <= kPoleReach * width) return opt_.lo;
    if (pole_right_ && b_ - right <= kPoleReach * width) return opt_.hi;
    return kNoPole;
  }

  const F& f_;
  PinvOptions opt_;
  bool pole_left_ = false;
  bool pole_right_ = false;
  double a_ = 0.0;     // the ends of the table
  double b_ = 0.0;
  NodePattern pattern_{};
  bool rounding_limited_ = false;  // the last interval failed on rounding alone
  // Scratch of the interval loop: nodes, density, CDF increments, Newton
  // coefficients, and the batches of points and values.
  std::vector<double> x_, fx_, u_, c_coef_, xs_, ys_;
  double goal_ = 0.0;  // the absolute u-error goal
  double c_ = 0.0;
  double fc_ = 0.0;
  double last_rejected_ = 0.0;
};

}  // namespace pinv_detail

template <class F>
[[nodiscard]] std::expected<PinvTable, SetupError> build_pinv(const F& f, const PinvOptions& options) {
  return pinv_detail::Builder<F>(f, options).run();
}

}  // namespace varlix
