// Adaptive Gauss–Kronrod quadrature (7-point Gauss, 15-point Kronrod) over a
// partition of the real line, ends possibly infinite, for several integrals
// of one function at once.
//
// It computes  I_k = ∫ c_k(x, f(x)) dx  for k < M, where f is the expensive
// function (a user density) and c the cheap components made from it (f,
// x f, x² f, f log f for the moments and the entropy). f is evaluated once
// per node for all components.
//
// When to use it: moments, expectations and entropies of a law whose
// quantiles are known. The caller passes a partition with pieces of similar
// mass (quantiles of the law), so that a narrow peak inside a wide support is
// never missed by the first estimate, which would happen to any global rule
// started on the whole support.
//
// Refinement is breadth-first: every round splits all pieces that carry most
// of the error, and all their nodes go to evaluate() as one batch, so a
// vectorized Python function is called a few times in all rather than once
// per node. An infinite end [a, ∞) is mapped to (0, 1] by x = a + s (1 - t)/t
// (s the tail scale given by the caller), and likewise (-∞, b]; f is only
// ever called at finite interior points of the partition.
//
// References: Kronrod (1965), "Nodes and weights of quadrature formulas";
// Piessens, de Doncker-Kapenga, Überhuber & Kahaner (1983), "QUADPACK", for
// the 15-point pair, the error estimate |K15 - G7| and the infinite-range map.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <expected>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

#include "evaluate.hpp"
#include "memory.hpp"
#include "setup_error.hpp"

namespace varlix {

struct QuadratureOptions {
  // Each integral is accepted once its error estimate is at most rel_tol
  // times the integral of its absolute value.
  double rel_tol = 1e-11;
  // Length scale of the map of an infinite end to (0, 1]: the width over
  // which the tail's first pieces spread. The quantile spread of the law.
  double tail_scale = 1.0;
  // Pieces the partition may grow to; an integral that diverges (the mean of
  // a Cauchy law) keeps splitting near its singular end until this is spent.
  std::size_t max_pieces = 20'000;
  // Refinement rounds: a divergent integral refines one piece at its
  // singular end per round, a convergent one needs a few dozen rounds at most.
  std::size_t max_rounds = 100;
  // f is a density: a negative value is an error, as a NaN or an infinity is
  // for any f.
  bool nonnegative = true;
  // When not empty: the integral of component 0 over each interval of the
  // partition, known beforehand (from quantiles: the mass between them). An
  // interval whose pieces add up to more than mass_tol away from it is
  // refined further, whatever the error estimate says: a narrow peak between
  // all 15 nodes of a piece leaves no trace in |K15 - G7|, but it does in
  // the mass.
  std::span<const double> expected_mass;
  double mass_tol = 0.0;
};

template <std::size_t M>
struct QuadratureResult {
  std::array<double, M> value{};
  std::array<double, M> error{};
  std::array<double, M> absolute{};  // the integrals of |c_k|: the scale each error is judged by
  // False when max_pieces or max_rounds was spent before every tolerance was met: the
  // integral may diverge; `value` is then the last estimate.
  bool converged = false;
  std::size_t evaluations = 0;
};

namespace gauss_kronrod_detail {

inline constexpr std::size_t kNodes = 15;

// Kronrod abscissae in [0, 1) (the rule is symmetric) and their weights;
// the odd-indexed ones carry the 7-point Gauss rule, with weights kGauss.
inline constexpr std::array<double, 8> kAbscissa = {
    0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
    0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
    0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
    0.207784955007898467600689403773245, 0.0};
inline constexpr std::array<double, 8> kKronrod = {
    0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
    0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
    0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
    0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
inline constexpr std::array<double, 4> kGauss = {
    0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
    0.381830050505118944950369775488975, 0.417959183673469387755102040816327};

// A piece of the partition, in the variable it is integrated in: x itself,
// or t in (0, 1] for an infinite end anchored at `anchor`.
enum class Map : unsigned char { Finite, RightTail, LeftTail };

struct Piece {
  double lo;
  double hi;
  Map map;
  double anchor;
  std::size_t origin;  // the interval of the caller's partition it lies in
};

template <std::size_t M>
struct Estimate {
  std::array<double, M> value{};
  std::array<double, M> error{};
  std::array<double, M> absolute{};  // integral of |c_k|, the scale of its tolerance
};

// Node j of 15 of a piece in its own variable: the 8 abscissae mirrored.
inline double node_in_piece(const Piece& p, std::size_t j) {
  const double center = 0.5 * (p.lo + p.hi);
  const double half = 0.5 * (p.hi - p.lo);
  const double a = j < 8 ? -kAbscissa[j] : kAbscissa[kNodes - 1 - j];
  return center + half * a;
}

inline double kronrod_weight(std::size_t j) { return kKronrod[j < 8 ? j : kNodes - 1 - j]; }

// The Gauss weight of node j, zero for the Kronrod-only nodes.
inline double gauss_weight(std::size_t j) {
  const std::size_t k = j < 8 ? j : kNodes - 1 - j;
  return k % 2 == 1 ? kGauss[k / 2] : 0.0;
}

// The x of a node and dx/dvariable there.
inline double to_x(const Piece& p, double v, double& jacobian, double scale) {
  switch (p.map) {
    case Map::Finite: jacobian = 1.0; return v;
    case Map::RightTail: jacobian = scale / (v * v); return p.anchor + scale * ((1.0 - v) / v);
    case Map::LeftTail: jacobian = scale / (v * v); return p.anchor - scale * ((1.0 - v) / v);
  }
  return v;
}

inline bool append_piece(std::vector<Piece>& pieces, double lo, double hi, std::size_t origin) {
  if (!try_reserve(pieces, pieces.size() + 2)) return false;
  if (std::isinf(lo) && std::isinf(hi)) {
    // Both ends infinite: two tails anchored at 0.
    pieces.push_back({0.0, 1.0, Map::LeftTail, 0.0, origin});
    pieces.push_back({0.0, 1.0, Map::RightTail, 0.0, origin});
  } else if (std::isinf(lo)) {
    pieces.push_back({0.0, 1.0, Map::LeftTail, hi, origin});
  } else if (std::isinf(hi)) {
    pieces.push_back({0.0, 1.0, Map::RightTail, lo, origin});
  } else if (hi > lo) {
    pieces.push_back({lo, hi, Map::Finite, 0.0, origin});
  }
  return true;
}

// How far each interval of the partition is from the integral of component
// 0 it is known to have, in units of the tolerance `mass_tol`: the sum of
// its pieces' estimates against expected[origin], less what their own
// error estimates already account for. A gap the error estimates explain
// (a singular tail piece not yet refined) is left to the error-driven
// splitting; forcing every piece of the interval to split instead doubles
// the interval each round and spends max_pieces on it.
template <std::size_t M>
void mass_mismatch(std::span<const Piece> pieces, std::span<const Estimate<M>> estimates,
                   std::span<const double> expected, double mass_tol, std::vector<double>& mismatch,
                   std::vector<double>& explained) {
  std::fill(mismatch.begin(), mismatch.end(), 0.0);
  std::fill(explained.begin(), explained.end(), 0.0);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    mismatch[pieces[i].origin] += estimates[i].value[0];
    explained[pieces[i].origin] += estimates[i].error[0];
  }
  for (std::size_t o = 0; o < mismatch.size(); ++o) {
    mismatch[o] = std::max(std::abs(mismatch[o] - expected[o]) - explained[o], 0.0) / mass_tol;
  }
}

// The pieces' nodes in x, with their Jacobians; `valid` is false where the
// map overflows (a node of a tail piece pressed against t = 0): such a node
// lies beyond every finite x and contributes nothing.
struct Nodes {
  std::vector<double> x;
  std::vector<double> jacobian;
  std::vector<double> fx;
  std::vector<double> callable_x;  // the finite nodes only, sent to f
  std::vector<std::size_t> slot;   // where each callable node came from
};

inline bool place_nodes(std::span<const Piece> pieces, double scale, Nodes& nodes) {
  const std::size_t n = pieces.size() * kNodes;
  if (!try_resize(nodes.x, n) || !try_resize(nodes.jacobian, n) || !try_resize(nodes.fx, n) ||
      !try_reserve(nodes.callable_x, n) || !try_reserve(nodes.slot, n)) {
    return false;
  }
  nodes.callable_x.clear();
  nodes.slot.clear();
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    for (std::size_t j = 0; j < kNodes; ++j) {
      const std::size_t at = i * kNodes + j;
      const double v = node_in_piece(pieces[i], j);
      nodes.x[at] = to_x(pieces[i], v, nodes.jacobian[at], scale);
      nodes.fx[at] = 0.0;
      if (std::isfinite(nodes.x[at]) && std::isfinite(nodes.jacobian[at])) {
        nodes.callable_x.push_back(nodes.x[at]);
        nodes.slot.push_back(at);
      } else {
        nodes.jacobian[at] = 0.0;
      }
    }
  }
  return true;
}

// f at every callable node, through one evaluate() call; the first bad
// value (NaN, infinite, negative for a density) comes back as the error.
template <class F>
std::expected<void, SetupError> evaluate_nodes(const F& f, Nodes& nodes, bool nonnegative) {
  std::vector<double> y;
  if (!try_resize(y, nodes.callable_x.size())) return std::unexpected(SetupError::out_of_memory());
  evaluate(f, std::span<const double>(nodes.callable_x), std::span<double>(y));
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(y[i]) || (nonnegative && y[i] < 0.0)) {
      return std::unexpected(SetupError::bad_value(nodes.callable_x[i], y[i]));
    }
    nodes.fx[nodes.slot[i]] = y[i];
  }
  return {};
}

template <std::size_t M, class Components>
Estimate<M> estimate_piece(const Piece& p, const Nodes& nodes, std::size_t first, const Components& components) {
  Estimate<M> e;
  std::array<double, M> gauss{};
  const double half = 0.5 * (p.hi - p.lo);
  for (std::size_t j = 0; j < kNodes; ++j) {
    const std::size_t at = first + j;
    if (nodes.jacobian[at] == 0.0) continue;
    const std::array<double, M> c = components(nodes.x[at], nodes.fx[at]);
    for (std::size_t k = 0; k < M; ++k) {
      const double g = c[k] * nodes.jacobian[at];
      e.value[k] += kronrod_weight(j) * g;
      gauss[k] += gauss_weight(j) * g;
      e.absolute[k] += kronrod_weight(j) * std::abs(g);
    }
  }
  for (std::size_t k = 0; k < M; ++k) {
    e.value[k] *= half;
    e.absolute[k] *= half;
    e.error[k] = std::abs(e.value[k] - half * gauss[k]);
  }
  return e;
}

}  // namespace gauss_kronrod_detail

// The integrals over the union of the pieces [breaks[i], breaks[i+1]];
// breaks ascending, the first may be -inf and the last +inf. components(x,
// fx) returns the M integrands at x given fx = f(x), and must be finite
// wherever f is valid.
template <std::size_t M, class F, class Components>
[[nodiscard]] std::expected<QuadratureResult<M>, SetupError> integrate_gauss_kronrod(
    const F& f, const Components& components, std::span<const double> breaks, const QuadratureOptions& options) {
  using namespace gauss_kronrod_detail;
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i + 1 < breaks.size(); ++i) {
    if (!append_piece(pieces, breaks[i], breaks[i + 1], i)) return std::unexpected(SetupError::out_of_memory());
  }
  const bool check_mass = !options.expected_mass.empty() && options.expected_mass.size() + 1 == breaks.size();
  std::vector<double> mismatch, explained;
  if (check_mass && (!try_resize(mismatch, options.expected_mass.size()) ||
                     !try_resize(explained, options.expected_mass.size()))) {
    return std::unexpected(SetupError::out_of_memory());
  }
  QuadratureResult<M> result;
  std::vector<Estimate<M>> estimates;  // one per piece, in the order of `pieces`
  std::vector<Piece> pending = pieces;
  pieces.clear();
  Nodes nodes;
  std::vector<double> ratio;
  std::vector<std::size_t> order;
  for (std::size_t round = 0; !pending.empty(); ++round) {
    if (!place_nodes(pending, options.tail_scale, nodes)) return std::unexpected(SetupError::out_of_memory());
    if (auto ok = evaluate_nodes(f, nodes, options.nonnegative); !ok) return std::unexpected(ok.error());
    result.evaluations += nodes.callable_x.size();
    if (!try_reserve(pieces, pieces.size() + pending.size()) || !try_reserve(estimates, pieces.size() + pending.size())) {
      return std::unexpected(SetupError::out_of_memory());
    }
    for (std::size_t i = 0; i < pending.size(); ++i) {
      pieces.push_back(pending[i]);
      estimates.push_back(estimate_piece<M>(pending[i], nodes, i * kNodes, components));
    }
    pending.clear();

    // Totals, and each integral's tolerance.
    std::array<double, M> total{}, absolute{}, error{}, tol{};
    for (const Estimate<M>& e : estimates) {
      for (std::size_t k = 0; k < M; ++k) {
        total[k] += e.value[k];
        absolute[k] += e.absolute[k];
        error[k] += e.error[k];
      }
    }
    bool met = true;
    for (std::size_t k = 0; k < M; ++k) {
      // An integrand that is zero everywhere has nothing to refine.
      tol[k] = std::max(options.rel_tol * absolute[k], std::numeric_limits<double>::min());
      met = met && error[k] <= tol[k];
    }
    if (check_mass) {
      mass_mismatch<M>(pieces, estimates, options.expected_mass, options.mass_tol, mismatch, explained);
      for (double m : mismatch) met = met && m <= 1.0;
    }
    result.value = total;
    result.error = error;
    result.absolute = absolute;
    if (met) {
      result.converged = true;
      return result;
    }
    if (pieces.size() >= options.max_pieces || round + 1 >= options.max_rounds) return result;

    // Split the pieces of largest relative error until what stays behind
    // carries at most half of every tolerance.
    if (!try_resize(ratio, pieces.size()) || !try_resize(order, pieces.size())) {
      return std::unexpected(SetupError::out_of_memory());
    }
    double remaining = 0.0;  // an upper bound of the largest total error, in tolerances
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      double r = 0.0;
      for (std::size_t k = 0; k < M; ++k) r = std::max(r, estimates[i].error[k] / tol[k]);
      // A mismatched interval has all its pieces split: where the missing
      // mass hides is unknown.
      if (check_mass && mismatch[pieces[i].origin] > 1.0) r = std::max(r, mismatch[pieces[i].origin]);
      ratio[i] = r;
      remaining += r;
    }
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ratio[a] > ratio[b]; });
    std::vector<bool> split;
    if (!try_resize(split, pieces.size())) return std::unexpected(SetupError::out_of_memory());
    const std::size_t room = options.max_pieces - pieces.size();
    std::size_t chosen = 0;
    for (std::size_t i : order) {
      if (remaining <= 0.5 || chosen >= room) break;
      split[i] = true;
      remaining -= ratio[i];
      ++chosen;
    }
    if (!try_reserve(pending, 2 * chosen)) return std::unexpected(SetupError::out_of_memory());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (split[i]) {
        const Piece& p = pieces[i];
        const double mid = 0.5 * (p.lo + p.hi);
        // A piece too narrow to halve in doubles is as refined as it gets.
        if (!(mid > p.lo && mid < p.hi)) {
          pieces[kept] = pieces[i];
          estimates[kept] = estimates[i];
          ++kept;
          continue;
        }
        pending.push_back({p.lo, mid, p.map, p.anchor, p.origin});
        pending.push_back({mid, p.hi, p.map, p.anchor, p.origin});
      } else {
        pieces[kept] = pieces[i];
        estimates[kept] = estimates[i];
        ++kept;
      }
    }
    pieces.resize(kept);
    estimates.resize(kept);
    if (pending.empty()) return result;  // nothing left that can be halved
  }
  return result;
}

// ∫ f over the partition, for one f.
template <class F>
[[nodiscard]] std::expected<QuadratureResult<1>, SetupError> integrate_gauss_kronrod(
    const F& f, std::span<const double> breaks, const QuadratureOptions& options) {
  return integrate_gauss_kronrod<1>(
      f, [](double, double fx) { return std::array<double, 1>{fx}; }, breaks, options);
}

}  // namespace varlix
