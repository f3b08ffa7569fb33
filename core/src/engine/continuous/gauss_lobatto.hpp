// Five-point Gauss-Lobatto quadrature: the nodes -1, -sqrt(3/7), 0,
// sqrt(3/7), 1 with weights 1/10, 49/90, 32/45, 49/90, 1/10, exact for
// polynomials of degree 7 (Abramowitz & Stegun 1964, 25.4.32). The end points
// are nodes, so neighbouring pieces of a partition share their density values:
// a piece costs three new evaluations. The numerical inversion methods
// integrate densities with it, and an adaptive form (halving until the two
// halves agree with the whole) gives areas and accurate CDF values.
//
// Density values pass through evaluate_density(), which stops at the first
// value that is not a finite non-negative number.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <expected>
#include <limits>
#include <span>
#include <vector>

#include "evaluate.hpp"
#include "setup_error.hpp"

namespace varlix::gauss_lobatto {

inline constexpr double kInner = 0.65465367070797714380;  // sqrt(3/7)
inline constexpr double kWeightEnd = 1.0 / 10.0;
inline constexpr double kWeightInner = 49.0 / 90.0;
inline constexpr double kWeightMid = 32.0 / 45.0;

// The three interior nodes of [a, b] (b < a integrates backwards).
[[nodiscard]] inline std::array<double, 3> interior(double a, double b) {
  const double mid = 0.5 * (a + b);
  const double half = 0.5 * (b - a);
  return {mid - half * kInner, mid, mid + half * kInner};
}

// The rule on [a, b] from the density at a, at the interior nodes and at b.
[[nodiscard]] inline double rule(double a, double b, double fa, const std::array<double, 3>& inner, double fb) {
  const double sum = kWeightEnd * (fa + fb) + kWeightInner * (inner[0] + inner[2]) + kWeightMid * inner[1];
  return 0.5 * (b - a) * sum;
}

}  // namespace varlix::gauss_lobatto

namespace varlix {

// ys = f(xs), then the first value that is not a finite non-negative number
// as SetupError::bad_value at its point.
template <class F>
[[nodiscard]] std::expected<void, SetupError> evaluate_density(const F& f, std::span<const double> xs,
                                                               std::span<double> ys) {
  evaluate(f, xs, ys);
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (!(ys[i] >= 0.0 && std::isfinite(ys[i]))) return std::unexpected(SetupError::bad_value(xs[i], ys[i]));
  }
  return {};
}

// Pieces narrower than this relative to their position carry no more
// information: the halves' nodes would coincide in double precision.
inline constexpr double kAdaptiveMinRelWidth = 1e-14;
// Halvings of one piece at most: enough to resolve a unit-wide peak next to
// 0 in a domain reaching 1e30 (heavy tails are cut that far out).
inline constexpr int kAdaptiveMaxDepth = 200;
// Pieces waiting at once at most: a function too rough for the tolerance
// everywhere (noise) would otherwise double them every round; beyond this
// every piece is accepted as it stands.
inline constexpr std::size_t kAdaptiveMaxPending = 1 << 16;

// Next to a pole a piece whose ends lie further apart than this ratio in
// distance from the pole is split at their geometric mean: halving would
// need a level for every factor 2 between the ends.
inline constexpr double kGeometricSplit = 8.0;

// Where a piece [a, b] is split: its midpoint, or, next to a pole, the point
// at the geometric mean of the ends' distances from it.
[[nodiscard]] inline double split_point(double a, double b, double pole) {
  if (!std::isnan(pole)) {
    const double da = std::abs(a - pole);
    const double db = std::abs(b - pole);
    const double near = std::min(da, db);
    const double far = std::max(da, db);
    if (near > 0.0 && far > kGeometricSplit * near) {
      const double mid = std::sqrt(near) * std::sqrt(far);
      return a < pole || b < pole ? pole - mid : pole + mid;
    }
  }
  return 0.5 * (a + b);
}

// The integral of f over [a, b] (a < b), given f(a) and f(b), by adaptive
// splitting: a piece is accepted when its two halves differ from the whole
// by at most `tolerance` (absolute, per piece: a share of the width would
// force a narrow peak in a wide domain to absurd precision). A finite `pole`
// (an end of [a, b] where f is infinite) makes pieces next to it split
// geometrically. Every piece waiting to be judged is evaluated in one batch
// per round, so a vectorized function is called once per splitting depth.
template <class F>
[[nodiscard]] std::expected<double, SetupError> integrate_gauss_lobatto(
    const F& f, double a, double b, double fa, double fb, double tolerance,
    double pole = std::numeric_limits<double>::quiet_NaN()) {
  struct Piece {
    double a, b, fa, fb, whole;
    double split;   // where the piece is split
    double fsplit;  // f there, NaN until evaluated
    int depth;
  };
  std::vector<Piece> pending;
  std::vector<Piece> next;
  std::vector<double> xs;
  std::vector<double> ys;
  std::vector<std::size_t> at;  // each piece's first point in xs

  // A piece from its ends and interior values; the split point's value is
  // known when it is the rule's midpoint.
  auto make = [pole](double pa, double pb, double pfa, const std::array<double, 3>& in, double pfb, int depth) {
    const double split = split_point(pa, pb, pole);
    const double fsplit = split == 0.5 * (pa + pb) ? in[1] : std::numeric_limits<double>::quiet_NaN();
    return Piece{pa, pb, pfa, pfb, gauss_lobatto::rule(pa, pb, pfa, in, pfb), split, fsplit, depth};
  };
  {
    const std::array<double, 3> in = gauss_lobatto::interior(a, b);
    std::array<double, 3> fin{};
    if (auto ok = evaluate_density(f, in, fin); !ok) return std::unexpected(ok.error());
    pending.push_back(make(a, b, fa, fin, fb, 0));
  }
  double total = 0.0;
  while (!pending.empty()) {
    xs.clear();
    at.clear();
    for (const Piece& p : pending) {
      at.push_back(xs.size());
      for (double x : gauss_lobatto::interior(p.a, p.split)) xs.push_back(x);
      for (double x : gauss_lobatto::interior(p.split, p.b)) xs.push_back(x);
      if (std::isnan(p.fsplit)) xs.push_back(p.split);
    }
    ys.resize(xs.size());
    if (auto ok = evaluate_density(f, xs, ys); !ok) return std::unexpected(ok.error());
    next.clear();
    for (std::size_t i = 0; i < pending.size(); ++i) {
      const Piece& p = pending[i];
      const std::size_t k = at[i];
      const double fsplit = std::isnan(p.fsplit) ? ys[k + 6] : p.fsplit;
      const std::array<double, 3> left{ys[k], ys[k + 1], ys[k + 2]};
      const std::array<double, 3> right{ys[k + 3], ys[k + 4], ys[k + 5]};
      const double sl = gauss_lobatto::rule(p.a, p.split, p.fa, left, fsplit);
      const double sr = gauss_lobatto::rule(p.split, p.b, fsplit, right, p.fb);
      const bool narrow = (p.b - p.a) <= kAdaptiveMinRelWidth * std::max(std::abs(p.a), std::abs(p.b));
      const bool crowded = pending.size() >= kAdaptiveMaxPending;
      if (std::abs(sl + sr - p.whole) <= tolerance || narrow || crowded || p.depth >= kAdaptiveMaxDepth) {
        total += sl + sr;
      } else {
        next.push_back(make(p.a, p.split, p.fa, left, fsplit, p.depth + 1));
        next.push_back(make(p.split, p.b, fsplit, right, p.fb, p.depth + 1));
      }
    }
    pending.swap(next);
  }
  return total;
}

}  // namespace varlix
