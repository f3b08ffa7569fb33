// One transition of the No-U-Turn sampler.
//
// From the current position and a fresh standard normal momentum, a
// trajectory of leapfrog steps grows by doubling: each round picks a
// direction in time at random and adds a subtree as long as the trajectory
// so far. The next position is drawn from the trajectory's states with
// weights exp(-H) (multinomial sampling): uniformly by weight inside each
// new subtree, and biased toward the new subtree when it joins the old
// trajectory (it replaces the old draw with probability min(1, W_new /
// W_old)), which moves the chain further on average while keeping the
// target invariant. Growth stops when the trajectory, or any subtree of it,
// turns back on itself: the generalised criterion asks that the summed
// momenta rho of a segment point forward at both its ends (rho . C p > 0),
// and each join also checks the two segments that straddle the seam (one
// subtree and the first state of the other, both ways), which catches a
// turn a join of two short straight pieces would hide. It also stops at
// max_tree_depth doublings, and at a divergence: an energy error beyond
// kDivergentEnergy or a non-finite log-density or gradient. A divergence
// ends the trajectory, not the run; the subtree that diverged is not drawn
// from, so the chain stays where it was unless the earlier trajectory
// offers a state.
// The right tool for smooth targets of any dimension: unlike Hamiltonian
// Monte Carlo with a fixed number of steps, the trajectory length follows
// the target's local scale.
// References: Hoffman & Gelman (2014), "The No-U-Turn Sampler", JMLR 15;
// Betancourt (2017), "A Conceptual Introduction to Hamiltonian Monte
// Carlo", arXiv:1701.02434, appendix A (multinomial sampling, biased
// progressive sampling and the generalised criterion).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "memory.hpp"
#include "multivar/chain_runner.hpp"
#include "multivar/hamiltonian_metric.hpp"
#include "multivar/log_density.hpp"
#include "uniform_source.hpp"

namespace varlix {

// What one transition did; the acceptance statistic feeds the step size's
// dual averaging.
struct NutsStats {
  double accept_stat = 0.0;  // mean of min(1, exp(H0 - H)) over the new states
  std::uint32_t tree_depth = 0;
  std::uint64_t leapfrog_steps = 0;
  bool divergent = false;
  double energy = 0.0;       // H at the state drawn
  double log_density = 0.0;  // at the state drawn
};

// The user's function failed (reported false): the chain's state is
// unchanged; `point` (in the workspace, valid until its next use) is where.
struct NutsFault {
  std::span<const double> point;
};

// Memory for the transitions of one chain of `dim` coordinates with trees
// of at most `max_tree_depth` doublings, taken once so that a transition
// allocates nothing: the trajectory's two ends (position, momentum,
// gradient), the state drawn so far and the one drawn inside the subtree
// being built, the summed momenta, and three momentum sums per tree level
// for the checks across subtree seams.
class NutsWorkspace {
 public:
  [[nodiscard]] static std::expected<NutsWorkspace, ChainFault> make(std::size_t dim,
                                                                    std::uint32_t max_tree_depth) {
    NutsWorkspace ws(dim, max_tree_depth);
    if (!try_resize(ws.words_, (kFixedRows + 3 * static_cast<std::size_t>(max_tree_depth)) * dim)) {
      return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    }
    return ws;
  }

  [[nodiscard]] std::size_t dim() const { return dim_; }
  [[nodiscard]] std::uint32_t max_tree_depth() const { return max_depth_; }

  // Row k of d doubles.
  [[nodiscard]] std::span<double> row(std::size_t k) { return std::span<double>(words_).subspan(k * dim_, dim_); }

  enum Row : std::size_t {
    kMinusQ, kMinusR, kMinusG,
    kPlusQ, kPlusR, kPlusG,
    kDrawQ, kDrawG,
    kSubtreeQ, kSubtreeG,
    kRho, kSeamR, kSubtreeRho, kSubtreeFirst, kSubtreeLast,
    kFixedRows,
  };
  // Level rows for a subtree of depth `level` >= 1: the right half's summed
  // momenta, its first momentum, and the left half's last momentum.
  [[nodiscard]] std::span<double> level_row(std::uint32_t level, std::size_t k) {
    return row(kFixedRows + 3 * (level - 1) + k);
  }

 private:
  NutsWorkspace(std::size_t dim, std::uint32_t max_depth) : dim_(dim), max_depth_(max_depth) {}

  std::size_t dim_;
  std::uint32_t max_depth_;
  std::vector<double> words_;
};

namespace nuts_detail {

// An energy error beyond this marks a trajectory as divergent: it has left
// the region where the leapfrog integrator is stable (the same threshold as
// the fixed-length chains).
inline constexpr double kDivergentEnergy = detail::kDivergentEnergy;

[[nodiscard]] inline double dot(std::span<const double> a, std::span<const double> b) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
  return s;
}

// (a + b) . r without forming a + b.
[[nodiscard]] inline double sum_dot(std::span<const double> a, std::span<const double> b, std::span<const double> r) {
  double s = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) s += (a[i] + b[i]) * r[i];
  return s;
}

// The generalised criterion for a segment with summed momenta a + b and
// momenta r_start, r_end at its ends: true while it still moves forward.
[[nodiscard]] inline bool no_u_turn(std::span<const double> a, std::span<const double> b,
                                    std::span<const double> r_start, std::span<const double> r_end) {
  return sum_dot(a, b, r_start) > 0.0 && sum_dot(a, b, r_end) > 0.0;
}

[[nodiscard]] inline double log_add_exp(double a, double b) {
  if (a == -HUGE_VAL) return b;
  if (b == -HUGE_VAL) return a;
  const double m = std::max(a, b);
  return m + std::log1p(std::exp(-std::fabs(a - b)));
}

inline void copy(std::span<const double> from, std::span<double> to) {
  std::copy(from.begin(), from.end(), to.begin());
}

enum class Growth : std::uint8_t { Continues, Turned, Diverged, Failed };

// One transition; see nuts_transition.
template <DifferentiableLogDensity L, HamiltonianMetric M, UniformSource S>
class Tree {
 public:
  Tree(const L& f, const M& metric, S& source, NutsWorkspace& ws, double step)
      : f_(f), metric_(metric), source_(source), ws_(ws), step_(step) {}

  [[nodiscard]] std::expected<NutsStats, NutsFault> run(std::span<double> x, std::span<double> grad,
                                                        double& log_density) {
    const std::span<double> r0 = ws_.row(R::kMinusR);
    fill_standard_normal(source_, r0);
    h0_ = -log_density + 0.5 * detail::squared_norm(r0);
    copy(r0, ws_.row(R::kPlusR));
    copy(r0, ws_.row(R::kRho));
    for (const R q : {R::kMinusQ, R::kPlusQ, R::kDrawQ}) copy(x, ws_.row(q));
    for (const R g : {R::kMinusG, R::kPlusG, R::kDrawG}) copy(grad, ws_.row(g));
    minus_lp_ = plus_lp_ = draw_lp_ = log_density;
    draw_energy_ = h0_;
    double log_weight = 0.0;  // of the initial state, exp(H0 - H0)

    std::uint32_t depth = 0;
    while (depth < ws_.max_tree_depth()) {
      const bool forward = source_.next_double() >= 0.5;
      const Growth growth = grow(depth, forward, log_weight);
      ++depth;
      if (growth == Growth::Failed) return std::unexpected(NutsFault{failed_at_});
      if (growth != Growth::Continues) break;
    }
    copy(ws_.row(R::kDrawQ), x);
    copy(ws_.row(R::kDrawG), grad);
    log_density = draw_lp_;
    return NutsStats{steps_ > 0 ? accept_sum_ / static_cast<double>(steps_) : 0.0,
                     depth,
                     steps_,
                     divergent_,
                     draw_energy_,
                     draw_lp_};
  }

 private:
  using R = NutsWorkspace::Row;

  // The end of the trajectory a doubling extends, and the other one.
  struct End {
    std::span<double> q, r, g;
    double& lp;
  };
  [[nodiscard]] End end(bool forward) {
    if (forward) return {ws_.row(R::kPlusQ), ws_.row(R::kPlusR), ws_.row(R::kPlusG), plus_lp_};
    return {ws_.row(R::kMinusQ), ws_.row(R::kMinusR), ws_.row(R::kMinusG), minus_lp_};
  }

  // Where a subtree reports its summed momenta and its first and last
  // momenta (in the order built).
  struct Sums {
    std::span<double> rho, first, last;
  };

  // Adds a subtree of 2^depth states at one end of the trajectory, draws
  // from it against the trajectory so far, and checks the joined
  // trajectory and its two seams.
  [[nodiscard]] Growth grow(std::uint32_t depth, bool forward, double& log_weight) {
    const End edge = end(forward);
    const std::span<double> far_r = end(!forward).r;
    const std::span<double> seam_r = ws_.row(R::kSeamR);
    copy(edge.r, seam_r);
    const Sums sub{ws_.row(R::kSubtreeRho), ws_.row(R::kSubtreeFirst), ws_.row(R::kSubtreeLast)};
    double sub_weight = -HUGE_VAL;
    const Growth growth = build(depth, forward ? step_ : -step_, edge, sub, sub_weight);
    if (growth != Growth::Continues) return growth;

    // Biased progressive sampling: the new subtree wins with probability
    // min(1, W_sub / W_old).
    if (std::log(source_.next_double()) < sub_weight - log_weight) take_subtree_draw();
    log_weight = log_add_exp(log_weight, sub_weight);

    const std::span<double> rho = ws_.row(R::kRho);
    const bool straight = no_u_turn(rho, sub.first, far_r, sub.first) && no_u_turn(seam_r, sub.rho, seam_r, sub.last);
    for (std::size_t i = 0; i < rho.size(); ++i) rho[i] += sub.rho[i];
    if (!straight || !(dot(rho, far_r) > 0.0 && dot(rho, sub.last) > 0.0)) return Growth::Turned;
    return Growth::Continues;
  }

  // Extends `edge` by 2^depth leapfrog steps of signed size eps, drawing a
  // state of them by weight into the subtree draw (log_weight: their
  // summed weights so far) and writing their momentum sums into out.
  [[nodiscard]] Growth build(std::uint32_t depth, double eps, const End& edge, const Sums& out, double& log_weight) {
    if (depth == 0) return leaf(eps, edge, out, log_weight);
    const Sums left{out.rho, out.first, ws_.level_row(depth, 2)};
    Growth growth = build(depth - 1, eps, edge, left, log_weight);
    if (growth != Growth::Continues) return growth;
    const Sums right{ws_.level_row(depth, 0), ws_.level_row(depth, 1), out.last};
    growth = build(depth - 1, eps, edge, right, log_weight);
    if (growth != Growth::Continues) return growth;
    const bool straight = no_u_turn(left.rho, right.first, left.first, right.first) &&
                          no_u_turn(left.last, right.rho, left.last, right.last);
    for (std::size_t i = 0; i < out.rho.size(); ++i) out.rho[i] += right.rho[i];
    if (!straight || !(dot(out.rho, out.first) > 0.0 && dot(out.rho, out.last) > 0.0)) return Growth::Turned;
    return Growth::Continues;
  }

  [[nodiscard]] Growth leaf(double eps, const End& edge, const Sums& out, double& log_weight) {
    if (!leapfrog(eps, edge)) return Growth::Failed;
    ++steps_;
    // +inf (a density that cannot be normalised) diverges like NaN does.
    const bool finite = std::isfinite(edge.lp) && detail::finite_point(edge.g);
    double h = finite ? -edge.lp + 0.5 * detail::squared_norm(edge.r) : HUGE_VAL;
    if (std::isnan(h)) h = HUGE_VAL;
    const double error = h - h0_;
    accept_sum_ += error <= 0.0 ? 1.0 : std::exp(-error);
    if (error > kDivergentEnergy) {
      divergent_ = true;
      return Growth::Diverged;
    }
    // Multinomial sampling inside the subtree, one state at a time: the new
    // state replaces the subtree's draw with probability w / (W + w).
    const double w = -error;
    const double total = log_add_exp(log_weight, w);
    if (log_weight == -HUGE_VAL || std::log(source_.next_double()) < w - total) {
      copy(edge.q, ws_.row(R::kSubtreeQ));
      copy(edge.g, ws_.row(R::kSubtreeG));
      subtree_lp_ = edge.lp;
      subtree_energy_ = h;
    }
    log_weight = total;
    copy(edge.r, out.rho);
    copy(edge.r, out.first);
    copy(edge.r, out.last);
    return Growth::Continues;
  }

  // One leapfrog step of edge; false only when the function failed. A
  // position that overflowed is not evaluated: its log-density is -inf.
  [[nodiscard]] bool leapfrog(double eps, const End& edge) {
    metric_.kick(edge.r, 0.5 * eps, edge.g);
    metric_.move(edge.q, eps, edge.r);
    if (!detail::finite_point(edge.q)) {
      edge.lp = -HUGE_VAL;
      return true;
    }
    if (!evaluate_with_gradient(f_, edge.q, edge.g, edge.lp)) {
      failed_at_ = edge.q;
      return false;
    }
    if (!std::isfinite(edge.lp)) return true;
    metric_.kick(edge.r, 0.5 * eps, edge.g);
    return true;
  }

  void take_subtree_draw() {
    copy(ws_.row(R::kSubtreeQ), ws_.row(R::kDrawQ));
    copy(ws_.row(R::kSubtreeG), ws_.row(R::kDrawG));
    draw_lp_ = subtree_lp_;
    draw_energy_ = subtree_energy_;
  }

  const L& f_;
  const M& metric_;
  S& source_;
  NutsWorkspace& ws_;
  double step_;
  double h0_ = 0.0;
  double minus_lp_ = 0.0;
  double plus_lp_ = 0.0;
  double draw_lp_ = 0.0;
  double draw_energy_ = 0.0;
  double subtree_lp_ = 0.0;
  double subtree_energy_ = 0.0;
  double accept_sum_ = 0.0;
  std::uint64_t steps_ = 0;
  bool divergent_ = false;
  std::span<const double> failed_at_;
};

}  // namespace nuts_detail

// One NUTS transition of the chain at x (its gradient grad and finite
// log-density given; all three are replaced by the state drawn) with step
// size `step` (> 0) and the metric, drawing its uniforms from `source`.
// Preconditions: ws was made for x.size() coordinates; grad is finite.
// A log-density that is NaN or +-inf, or a gradient that is not finite,
// inside the trajectory is a divergence, never a failure; only a function
// that reports failure ends the transition with a NutsFault, x unchanged.
template <DifferentiableLogDensity L, HamiltonianMetric M, UniformSource S>
[[nodiscard]] std::expected<NutsStats, NutsFault> nuts_transition(const L& f, const M& metric, double step,
                                                                  S& source, NutsWorkspace& ws, std::span<double> x,
                                                                  std::span<double> grad, double& log_density) {
  return nuts_detail::Tree<L, M, S>(f, metric, source, ws, step).run(x, grad, log_density);
}

}  // namespace varlix
