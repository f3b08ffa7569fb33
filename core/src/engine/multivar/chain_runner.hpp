// Random-walk Metropolis and Hamiltonian Monte Carlo chains on a
// log-density, run in lockstep groups, with tuning.
//
// Random-walk Metropolis proposes y = x + eps L z (z standard normal, L the
// metric factor) and accepts with probability min(1, pi(y) / pi(x)): the
// right tool for log-densities without a gradient in moderate dimension.
// Hamiltonian Monte Carlo draws a momentum, follows `leapfrog_steps`
// leapfrog steps of size eps along the gradient of ln pi with the metric
// L L^T as inverse mass matrix, and accepts the end point by the energy
// test: it mixes far better on smooth targets in higher dimension. On a box
// both mirror positions into it coordinate by coordinate (HMC also reverses
// the momentum of a mirrored coordinate), which keeps them reversible.
//
// During tuning every step adapts the step size by dual averaging toward
// target_accept, and the metric in the windows of the warm-up every chain
// sampler shares (windowed_adaptation.hpp): a diagonal metric from the
// draws and gradients of a Hamiltonian chain, from the draws alone for a
// random walk (its gradient is taken as constant), or a dense one from the
// draws (or, started from a given covariance such as a Laplace
// approximation, refined by them: anchored_covariance.hpp, with a share of
// the random walk's tuning steps proposing around the approximation's
// mode: laplace_proposal.hpp). After tuning, the averaged step size is kept
// and nothing adapts. Every chain draws from its own uniform source, a
// fixed number of uniforms per step, so a chain's path does not depend on
// which chains share its group: a group only batches the calls of a
// vectorized log-density.
// References: Metropolis et al. (1953); Hastings (1970); Duane, Kennedy,
// Pendleton & Roweth (1987); Neal (2011), "MCMC using Hamiltonian
// dynamics" (leapfrog, reflection at boundaries, section 5.1);
// Roberts, Gelman & Gilks (1997) for the random-walk target 0.234.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "memory.hpp"
#include "multivar/anchored_covariance.hpp"
#include "multivar/chain_fault.hpp"
#include "multivar/chain_state.hpp"
#include "multivar/laplace_proposal.hpp"
#include "multivar/log_density.hpp"
#include "multivar/windowed_adaptation.hpp"
#include "uniform_source.hpp"

namespace varlix {

enum class ChainKind : std::uint8_t { RandomWalk, Hamiltonian };

// What a group of chains shares; validated by the caller.
struct ChainSettings {
  ChainKind kind = ChainKind::RandomWalk;
  std::size_t dim = 0;
  double target_accept = 0.234;
  std::uint64_t tune = 0;            // tuning steps of the whole run
  std::uint64_t leapfrog_steps = 10;  // Hamiltonian only, >= 1
  bool dense = true;                 // dense metric (from the draws); false on a box
  // Dense only: the metric starts from a given covariance (init's factor0)
  // and its windows refine it rather than replace it.
  bool anchored = false;
  // Random walk only, when not empty: a share of the tuning steps propose
  // from it instead (laplace_proposal.hpp), which carries a chain that
  // starts far out into the bulk.
  LaplaceProposal warmup_jumps;
  std::span<const double> lo;        // empty: no bounds
  std::span<const double> hi;
};

// The share of a random walk's tuning steps that propose from
// ChainSettings::warmup_jumps: from a start in the far tails one of the first
// few dozen steps jumps to the bulk (the chance that none of the first 75
// tries is 4e-4), and in the bulk the random walk still makes nine steps in
// ten, as its step-size adaptation needs.
inline constexpr double kWarmupJumpShare = 0.1;

// Where a call writes what it records: the k-th record of chain c goes to
// samples[c * sample_stride + k * dim ...] and log_densities[c * lp_stride + k].
// The per-transition statistics (the last transition's, with thinning)
// go to the same row k of their own arrays, stride log_density_stride;
// a null pointer is not recorded.
struct ChainRecord {
  double* samples = nullptr;
  std::size_t sample_stride = 0;
  double* log_densities = nullptr;
  std::size_t log_density_stride = 0;
  double* acceptance = nullptr;    // min(1, exp(diff)) of the proposal
  double* step_size = nullptr;     // the (jittered) step it used
  double* energy = nullptr;        // the Hamiltonian at the chain's new state
  std::uint8_t* diverging = nullptr;
  std::int64_t* n_steps = nullptr;  // leapfrog steps taken (1 for a random walk)
};

// What one transition of a chain did, for the per-draw record.
struct TransitionStats {
  double acceptance = 0.0;
  double step = 0.0;
  double energy = 0.0;
  std::uint64_t steps = 0;
  bool diverging = false;
};

namespace detail {

// An energy error beyond this marks a Hamiltonian trajectory as divergent:
// it left the region where the integrator is stable.
inline constexpr double kDivergentEnergy = 1000.0;

// Each Hamiltonian transition scales its step by a uniform factor in
// [1 - j, 1 + j] and draws its number of leapfrog steps uniformly from
// 1 .. 2L - 1 (mean L): a fixed trajectory length resonates with the
// periods of the target near it (eps L near a multiple of pi times a
// scale) and then barely moves those coordinates (Neal 2011, section
// 5.4.2.2); a length spread over (0, 2 eps L) moves every scale the metric
// left behind (Bou-Rabee & Sanz-Serna 2017, randomized HMC).
inline constexpr double kStepJitter = 0.2;

[[nodiscard]] inline std::uint64_t trajectory_steps(double u, std::uint64_t mean) {
  const std::uint64_t span = 2 * mean - 1;
  return 1 + std::min(span - 1, static_cast<std::uint64_t>(u * static_cast<double>(span)));
}

[[nodiscard]] inline ChainFault fault_at(ChainFault::Kind kind, std::size_t chain, double value,
                                         std::span<const double> point) {
  ChainFault fault{kind, chain, value, {}};
  if (try_reserve(fault.point, point.size())) fault.point.assign(point.begin(), point.end());
  return fault;
}

[[nodiscard]] inline ChainFault value_fault(std::size_t chain, double value, std::span<const double> point) {
  return fault_at(std::isnan(value) ? ChainFault::Kind::NotANumber : ChainFault::Kind::PositiveInfinity, chain,
                  value, point);
}

[[nodiscard]] inline bool finite_point(std::span<const double> x) {
  return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

[[nodiscard]] inline double squared_norm(std::span<const double> v) {
  double sum = 0.0;
  for (const double e : v) sum += e * e;
  return sum;
}

// y += a * L z: L lower triangular (row-major d x d) when dense, else its
// diagonal alone (d scales).
inline void add_factor_times(std::span<double> y, double a, std::span<const double> l, std::span<const double> z,
                             bool dense) {
  const std::size_t d = y.size();
  for (std::size_t i = 0; i < d; ++i) {
    double s = 0.0;
    if (dense) {
      for (std::size_t j = 0; j <= i; ++j) s += l[i * d + j] * z[j];
    } else {
      s = l[i] * z[i];
    }
    y[i] += a * s;
  }
}

// r += a * L^T g, L as for add_factor_times.
inline void add_factor_transposed_times(std::span<double> r, double a, std::span<const double> l,
                                        std::span<const double> g, bool dense) {
  const std::size_t d = r.size();
  for (std::size_t j = 0; j < d; ++j) {
    double s = 0.0;
    if (dense) {
      for (std::size_t i = j; i < d; ++i) s += l[i * d + j] * g[i];
    } else {
      s = l[j] * g[j];
    }
    r[j] += a * s;
  }
}

}  // namespace detail

using DiagonalChainWarmup = WindowedAdaptation<DiagonalEstimator>;
using DenseChainWarmup = WindowedAdaptation<DenseEstimator>;
using AnchoredChainWarmup = WindowedAdaptation<AnchoredDenseEstimator>;
using ChainWarmups = std::variant<std::vector<DiagonalChainWarmup>, std::vector<DenseChainWarmup>,
                                  std::vector<AnchoredChainWarmup>>;

// The work space of a group: batches of points and values, the
// trajectories' positions, gradients and momenta, and each chain's warm-up
// between its restore from the row and its save. The caller keeps one for
// the groups of a run (the same chains and settings), so that only the
// run's first group allocates and its pieces do not.
struct ChainScratch {
  std::vector<double> points;
  std::vector<double> values;
  std::vector<unsigned char> live;
  std::vector<double> z;
  std::vector<double> q;
  std::vector<double> gq;
  std::vector<double> r;
  std::vector<double> energy;
  std::vector<double> flat;
  ChainWarmups warmups;
  std::vector<double> eps;
  std::vector<std::size_t> index;
  std::vector<std::uint64_t> length;
  std::vector<double> end_value;
  std::vector<unsigned char> diverged;
  std::vector<TransitionStats> last;
  std::vector<double> jump_ratio;
  std::vector<unsigned char> jumped;
};

// A group of chains whose state rows lie one after the other in `states`
// (chain_words(dim, dense) doubles each), with one uniform source per chain
// for tune() and draw() (init() draws nothing and may be given none).
template <LogDensityNd L, UniformSource S>
class ChainGroup {
 public:
  [[nodiscard]] static std::expected<ChainGroup, ChainFault> make(const L& f, std::span<S> sources,
                                                                   std::span<double> states,
                                                                   const ChainSettings& settings,
                                                                   ChainScratch& scratch) {
    ChainGroup group(f, sources, states, settings, scratch);
    if (!group.allocate()) return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    return group;
  }

  // Starts every chain at its row of x0 (chains x dim) with step size
  // step0[c]: the log-density (and, for Hamiltonian chains, the gradient)
  // there, a fresh adaptation and the metric factor0 (a lower-triangular
  // factor, d x d) or, when empty, the identity.
  [[nodiscard]] std::expected<void, ChainFault> init(std::span<const double> x0, std::span<const double> step0,
                                                     std::span<const double> factor0 = {}) {
    const std::size_t d = settings_.dim;
    const std::size_t w = row_words();
    for (std::size_t c = 0; c < chains(); ++c) {
      const ChainView chain = view(c);
      std::fill(states_.begin() + static_cast<std::ptrdiff_t>(c * w),
                states_.begin() + static_cast<std::ptrdiff_t>((c + 1) * w), 0.0);
      chain.stamp();
      std::copy_n(x0.begin() + static_cast<std::ptrdiff_t>(c * d), d, chain.x().begin());
      chain.step() = step0[c];
      if (factor0.empty()) {
        set_identity_metric(chain);
      } else {
        std::copy(factor0.begin(), factor0.end(), chain.metric().begin());
      }
      if (!start_adaptation(c, step0[c])) return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory, c});
      std::copy(chain.x().begin(), chain.x().end(), row(points_, c).begin());
      live_[c] = 1;
    }
    if (auto ok = evaluate_live(); !ok) return ok;
    for (std::size_t c = 0; c < chains(); ++c) {
      const double l = values_[c];
      if (l == -HUGE_VAL) {
        return std::unexpected(detail::fault_at(ChainFault::Kind::OutsideSupport, c, l, view(c).x()));
      }
      view(c).log_density() = l;
    }
    if (settings_.kind != ChainKind::Hamiltonian) return {};
    for (std::size_t c = 0; c < chains(); ++c) std::copy(view(c).x().begin(), view(c).x().end(), row(q_, c).begin());
    if (auto ok = gradients_of_live(); !ok) return ok;
    for (std::size_t c = 0; c < chains(); ++c) {
      if (!detail::finite_point(row(gq_, c))) {
        return std::unexpected(detail::fault_at(ChainFault::Kind::GradientNotFinite, c, 0.0, view(c).x()));
      }
      std::copy(row(gq_, c).begin(), row(gq_, c).end(), view(c).grad().begin());
    }
    return {};
  }

  // `count` tuning steps, each recorded (precondition: no more than the
  // tuning steps left). The last tuning step fixes the averaged step size
  // and clears the acceptance counters for the draws.
  [[nodiscard]] std::expected<void, ChainFault> tune(std::uint64_t count, ChainRecord out) {
    if (auto ok = check_rows(); !ok) return ok;
    if (!restore_adaptations()) return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    std::expected<void, ChainFault> result;
    for (std::uint64_t k = 0; k < count && result; ++k) {
      result = transition(true);
      if (result) record(out, k);
    }
    save_adaptations();
    return result;
  }

  // `count` draws, each after `thin` (>= 1) transitions.
  [[nodiscard]] std::expected<void, ChainFault> draw(std::uint64_t count, std::uint64_t thin, ChainRecord out) {
    if (auto ok = check_rows(); !ok) return ok;
    for (std::uint64_t k = 0; k < count; ++k) {
      for (std::uint64_t s = 0; s < thin; ++s) {
        if (auto ok = transition(false); !ok) return ok;
      }
      record(out, k);
    }
    return {};
  }

  [[nodiscard]] std::size_t chains() const { return states_.size() / row_words(); }
  [[nodiscard]] ChainView view(std::size_t c) const {
    const std::size_t w = row_words();
    return ChainView(states_.subspan(c * w, w), settings_.dim, settings_.dense);
  }

 private:
  ChainGroup(const L& f, std::span<S> sources, std::span<double> states, const ChainSettings& settings,
             ChainScratch& scratch)
      : f_(&f), sources_(sources), states_(states), settings_(settings), points_(scratch.points),
        values_(scratch.values), live_(scratch.live), z_(scratch.z), q_(scratch.q), gq_(scratch.gq), r_(scratch.r),
        energy_(scratch.energy), flat_(scratch.flat), warmups_(scratch.warmups), eps_(scratch.eps),
        index_(scratch.index), length_(scratch.length), end_value_(scratch.end_value), diverged_(scratch.diverged),
        last_(scratch.last), jump_ratio_(scratch.jump_ratio), jumped_(scratch.jumped) {}

  [[nodiscard]] std::size_t row_words() const { return chain_words(settings_.dim, settings_.dense); }

  void set_identity_metric(const ChainView& chain) const {
    const std::size_t d = settings_.dim;
    const std::span<double> metric = chain.metric();
    if (settings_.dense) {
      for (std::size_t i = 0; i < d; ++i) metric[i * d + i] = 1.0;
    } else {
      std::fill(metric.begin(), metric.end(), 1.0);
    }
  }

  // Work space, taken by the run's first group: a transition allocates
  // nothing, nor does a later group of the run.
  [[nodiscard]] bool allocate() {
    const std::size_t c = chains();
    const std::size_t d = settings_.dim;
    const bool hmc = settings_.kind == ChainKind::Hamiltonian;
    // Central differences for a batch function take 2d points per chain
    // and gradient; any other moves one point in place.
    const std::size_t batch = hmc && !GradientLogDensity<L> && BatchLogDensity<L> ? 2 * d * c : c;
    return try_resize(points_, batch * d) && try_resize(values_, batch) && try_resize(live_, c) &&
           try_resize(z_, d) && try_resize(q_, c * d) && try_resize(gq_, c * d) && try_resize(r_, c * d) &&
           try_resize(energy_, c) && try_resize(eps_, c) && try_resize(flat_, d) &&
           try_resize(index_, batch) && try_resize(length_, c) && try_resize(end_value_, c) &&
           try_resize(diverged_, c) && try_resize(last_, c) && try_resize(jump_ratio_, c) && try_resize(jumped_, c);
  }

  [[nodiscard]] std::span<double> row(std::vector<double>& v, std::size_t c) const {
    return std::span<double>(v).subspan(c * settings_.dim, settings_.dim);
  }

  [[nodiscard]] std::expected<void, ChainFault> check_rows() const {
    if (sources_.size() != chains()) return std::unexpected(ChainFault{ChainFault::Kind::BadState, 0});
    for (std::size_t c = 0; c < chains(); ++c) {
      if (!view(c).is_valid()) return std::unexpected(ChainFault{ChainFault::Kind::BadState, c});
    }
    return {};
  }

  void record(ChainRecord out, std::uint64_t k) const {
    const std::size_t d = settings_.dim;
    for (std::size_t c = 0; c < chains(); ++c) {
      const ChainView chain = view(c);
      if (out.samples != nullptr) {
        std::copy(chain.x().begin(), chain.x().end(), out.samples + c * out.sample_stride + k * d);
      }
      const std::size_t at = c * out.log_density_stride + k;
      if (out.log_densities != nullptr) out.log_densities[at] = chain.log_density();
      const TransitionStats& t = last_[c];
      if (out.acceptance != nullptr) out.acceptance[at] = t.acceptance;
      if (out.step_size != nullptr) out.step_size[at] = t.step;
      if (out.energy != nullptr) out.energy[at] = t.energy;
      if (out.diverging != nullptr) out.diverging[at] = t.diverging ? 1 : 0;
      if (out.n_steps != nullptr) out.n_steps[at] = static_cast<std::int64_t>(t.steps);
    }
  }

  // The log-density at row c of points_ for every live chain, into
  // values_[c], in one batch of the live rows; -inf for the others. With
  // `diverge_on_fault` (the end of a Hamiltonian trajectory, a point never
  // yet accepted), NaN or +inf there is a divergence, -inf, not a stop: a
  // trajectory that ran off into overflow must not end the run. (A failed
  // user function leaves its exception pending, and the binding raises it
  // when the call ends.)
  [[nodiscard]] std::expected<void, ChainFault> evaluate_live(bool diverge_on_fault = false) {
    const std::size_t d = settings_.dim;
    std::size_t n = 0;
    for (std::size_t c = 0; c < chains(); ++c) {
      if (!live_[c]) continue;
      if (n != c) std::copy(row(points_, c).begin(), row(points_, c).end(), row(points_, n).begin());
      index_[n++] = c;
    }
    evaluate_log_density(*f_, std::span<const double>(points_).first(n * d), d, std::span(values_).first(n));
    for (std::size_t k = 0; k < n; ++k) {
      if (!is_fault_value(values_[k])) continue;
      if (diverge_on_fault) {
        values_[k] = -HUGE_VAL;
        continue;
      }
      return std::unexpected(detail::value_fault(index_[k], values_[k], row(points_, k)));
    }
    // Scatter back, last first, so that no compacted value is overwritten.
    for (std::size_t k = n; k-- > 0;) {
      const std::size_t c = index_[k];
      values_[c] = values_[k];
      if (c != k) std::copy(row(points_, k).begin(), row(points_, k).end(), row(points_, c).begin());
    }
    for (std::size_t c = 0; c < chains(); ++c) {
      if (!live_[c]) values_[c] = -HUGE_VAL;
    }
    return {};
  }

  // The gradient at row c of q_ for every live chain, into row c of gq_.
  [[nodiscard]] std::expected<void, ChainFault> gradients_of_live() {
    if constexpr (GradientLogDensity<L>) {
      for (std::size_t c = 0; c < chains(); ++c) {
        if (!live_[c]) continue;
        if (!f_->gradient(row(q_, c), row(gq_, c))) {
          return std::unexpected(detail::fault_at(ChainFault::Kind::GradientFailed, c, 0.0, row(q_, c)));
        }
      }
      return {};
    } else if constexpr (BatchLogDensity<L>) {
      return numeric_gradients_of_live();
    } else {
      pointwise_gradients_of_live();
      return {};
    }
  }

  // Central differences, one call at a time, in the order the batch above
  // takes (so the same values come out): each difference moves one
  // coordinate of a copy of q and puts it back, so the scratch is one point
  // where a batch is 2d points (O(d^2) per chain).
  void pointwise_gradients_of_live() {
    const std::span<double> p = row(points_, 0);
    for (std::size_t c = 0; c < chains(); ++c) {
      if (!live_[c]) continue;
      const std::span<const double> q = row(q_, c);
      const std::span<double> g = row(gq_, c);
      std::copy(q.begin(), q.end(), p.begin());
      for (std::size_t i = 0; i < q.size(); ++i) {
        const double centre = difference_centre(q[i], i);
        const double h = difference_step(centre);
        p[i] = centre + h;
        const double up = (*f_)(p);
        p[i] = centre - h;
        const double down = (*f_)(p);
        p[i] = q[i];
        g[i] = (up - down) / (h + h);
      }
    }
  }

  // Central differences for a batch function: for coordinate i the points
  // q + h e_i, q - h e_i, all live chains in one batch.
  [[nodiscard]] std::expected<void, ChainFault> numeric_gradients_of_live() {
    const std::size_t d = settings_.dim;
    std::size_t n = 0;
    for (std::size_t c = 0; c < chains(); ++c) {
      if (!live_[c]) continue;
      const std::span<const double> q = row(q_, c);
      for (std::size_t i = 0; i < d; ++i) {
        const double centre = difference_centre(q[i], i);
        const double h = difference_step(centre);
        for (const double sign : {1.0, -1.0}) {
          const std::span<double> p = std::span<double>(points_).subspan(n * d, d);
          std::copy(q.begin(), q.end(), p.begin());
          p[i] = centre + sign * h;
          index_[n++] = c;
        }
      }
    }
    // A NaN or +inf beside a trajectory's point leaves a non-finite
    // gradient, which ends that trajectory as a divergence (and refuses a
    // starting point); it does not stop the run.
    evaluate_log_density(*f_, std::span<const double>(points_).first(n * d), d, std::span(values_).first(n));
    std::size_t k = 0;
    for (std::size_t c = 0; c < chains(); ++c) {
      if (!live_[c]) continue;
      const std::span<const double> q = row(q_, c);
      const std::span<double> g = row(gq_, c);
      for (std::size_t i = 0; i < d; ++i, k += 2) {
        const double h = difference_step(difference_centre(q[i], i));
        g[i] = (values_[k] - values_[k + 1]) / (h + h);
      }
    }
    return {};
  }

  [[nodiscard]] bool bounded() const { return !settings_.lo.empty(); }

  // Where the differences for coordinate i are centred: at x, or on a box,
  // far enough inside that both points stay in it (a log-density may be
  // -inf outside the box). Near a wall this is a one-sided estimate.
  [[nodiscard]] double difference_centre(double x, std::size_t i) const {
    if (!bounded()) return x;
    const double margin = 2.0 * difference_step(x);
    const double lo = settings_.lo[i] + margin;
    const double hi = settings_.hi[i] - margin;
    return lo < hi ? std::clamp(x, lo, hi) : x;
  }

  [[nodiscard]] std::expected<void, ChainFault> transition(bool tuning) {
    return settings_.kind == ChainKind::Hamiltonian ? hamiltonian(tuning) : random_walk(tuning);
  }

  [[nodiscard]] std::expected<void, ChainFault> random_walk(bool tuning) {
    const std::size_t d = settings_.dim;
    for (std::size_t c = 0; c < chains(); ++c) {
      const ChainView chain = view(c);
      const std::span<double> y = row(points_, c);
      jumped_[c] = tuning && !settings_.warmup_jumps.empty() && sources_[c].next_double() < kWarmupJumpShare;
      if (jumped_[c]) {
        const double log_q_y = settings_.warmup_jumps.draw(sources_[c], z_, y);
        jump_ratio_[c] = settings_.warmup_jumps.log_density(chain.x(), z_) - log_q_y;
        live_[c] = detail::finite_point(y) ? 1 : 0;
        continue;
      }
      fill_standard_normal(sources_[c], z_);
      std::copy(chain.x().begin(), chain.x().end(), y.begin());
      detail::add_factor_times(y, chain.step(), chain.metric(), z_, settings_.dense);
      if (bounded()) {
        for (std::size_t i = 0; i < d; ++i) y[i] = reflect_into(y[i], settings_.lo[i], settings_.hi[i]).value;
      }
      // A proposal that overflowed is outside every support: no call.
      live_[c] = detail::finite_point(y) ? 1 : 0;
    }
    if (auto ok = evaluate_live(); !ok) return ok;
    for (std::size_t c = 0; c < chains(); ++c) {
      const ChainView chain = view(c);
      const double u = sources_[c].next_double();
      const double diff = values_[c] - chain.log_density() + (jumped_[c] ? jump_ratio_[c] : 0.0);
      const bool accept = accepts(u, diff);
      if (accept) {
        std::copy(row(points_, c).begin(), row(points_, c).end(), chain.x().begin());
        chain.log_density() = values_[c];
        chain.accepted() += 1.0;
      }
      chain.steps() += 1.0;
      last_[c] = {acceptance(diff), chain.step(), 0.0, 1, false};
      // A jump says nothing of the walk's step: it leaves the step be.
      if (tuning) adapt(c, jumped_[c] ? settings_.target_accept : last_[c].acceptance);
    }
    return {};
  }

  [[nodiscard]] std::expected<void, ChainFault> hamiltonian(bool tuning) {
    const bool dense = settings_.dense;
    std::uint64_t longest = 0;
    for (std::size_t c = 0; c < chains(); ++c) {
      const ChainView chain = view(c);
      const std::span<double> r = row(r_, c);
      eps_[c] = chain.step() * (1.0 + detail::kStepJitter * (2.0 * sources_[c].next_double() - 1.0));
      fill_standard_normal(sources_[c], r);
      energy_[c] = -chain.log_density() + 0.5 * detail::squared_norm(r);
      std::copy(chain.x().begin(), chain.x().end(), row(q_, c).begin());
      detail::add_factor_transposed_times(r, 0.5 * eps_[c], chain.metric(), chain.grad(), dense);
      length_[c] = detail::trajectory_steps(sources_[c].next_double(), settings_.leapfrog_steps);
      longest = std::max(longest, length_[c]);
      live_[c] = 1;
      diverged_[c] = 0;
    }
    // A trajectory stops at the first step whose energy error passes
    // kDivergentEnergy, or whose value or gradient is not finite: it has
    // left the region where the integrator is stable, and the steps left
    // would only cost calls (or overflow). A chain whose trajectory ended
    // keeps its end point's value in end_value_ while the others go on.
    for (std::uint64_t s = 0; s < longest; ++s) {
      for (std::size_t c = 0; c < chains(); ++c) {
        if (live_[c]) position_step(c);
      }
      if (auto ok = gradients_of_live(); !ok) return ok;
      for (std::size_t c = 0; c < chains(); ++c) {
        if (!live_[c]) continue;
        if (!detail::finite_point(row(gq_, c))) {
          live_[c] = 0;
          diverged_[c] = 1;
          continue;
        }
        std::copy(row(q_, c).begin(), row(q_, c).end(), row(points_, c).begin());
      }
      if (auto ok = evaluate_live(true); !ok) return ok;
      for (std::size_t c = 0; c < chains(); ++c) {
        if (!live_[c]) continue;
        // The momentum's half step synchronises it with the position for
        // the energy; the second half completes the full step.
        const double half = 0.5 * eps_[c];
        detail::add_factor_transposed_times(row(r_, c), half, view(c).metric(), row(gq_, c), dense);
        const double error = -values_[c] + 0.5 * detail::squared_norm(row(r_, c)) - energy_[c];
        if (!(error <= detail::kDivergentEnergy)) {
          live_[c] = 0;
          diverged_[c] = 1;
          continue;
        }
        if (s + 1 == length_[c]) {
          live_[c] = 0;
          end_value_[c] = values_[c];
          continue;
        }
        detail::add_factor_transposed_times(row(r_, c), half, view(c).metric(), row(gq_, c), dense);
      }
    }
    for (std::size_t c = 0; c < chains(); ++c) accept_or_stay(c, tuning);
    return {};
  }

  // The end of chain c's trajectory (q_, gq_, r_, end_value_) accepted by
  // its energy, unless it diverged.
  void accept_or_stay(std::size_t c, bool tuning) {
    const ChainView chain = view(c);
    const double u = sources_[c].next_double();
    double diff = -HUGE_VAL;  // a trajectory that overflowed diverged
    const double kinetic = 0.5 * detail::squared_norm(row(r_, c));
    if (!diverged_[c] && end_value_[c] != -HUGE_VAL) {
      diff = energy_[c] - (-end_value_[c] + kinetic);
      if (std::isnan(diff)) diff = -HUGE_VAL;
    }
    const bool diverging = diff < -detail::kDivergentEnergy;
    if (diverging) chain.divergent() += 1.0;
    double energy = energy_[c];
    if (accepts(u, diff)) {
      std::copy(row(q_, c).begin(), row(q_, c).end(), chain.x().begin());
      std::copy(row(gq_, c).begin(), row(gq_, c).end(), chain.grad().begin());
      chain.log_density() = end_value_[c];
      chain.accepted() += 1.0;
      energy = -end_value_[c] + kinetic;
    }
    chain.steps() += 1.0;
    last_[c] = {acceptance(diff), eps_[c], energy, length_[c], diverging};
    if (tuning) adapt(c, last_[c].acceptance);
  }

  // q += eps L r, mirrored into the box with the momentum of each mirrored
  // coordinate reversed (the metric is diagonal on a box).
  void position_step(std::size_t c) {
    const ChainView chain = view(c);
    const std::span<double> q = row(q_, c);
    const std::span<double> r = row(r_, c);
    detail::add_factor_times(q, eps_[c], chain.metric(), r, settings_.dense);
    if (bounded()) {
      for (std::size_t i = 0; i < q.size(); ++i) {
        const Reflected m = reflect_into(q[i], settings_.lo[i], settings_.hi[i]);
        q[i] = m.value;
        if (m.reversed) r[i] = -r[i];
      }
    }
    if (!detail::finite_point(q)) live_[c] = 0;
  }

  // The Metropolis test ln u < diff for u in [0, 1): always passed uphill,
  // where the logarithm need not be taken.
  [[nodiscard]] static bool accepts(double u, double diff) { return diff >= 0.0 || std::log(u) < diff; }

  // min(1, exp(diff)), 0 for -inf.
  [[nodiscard]] static double acceptance(double diff) { return diff >= 0.0 ? 1.0 : std::exp(diff); }

  using DiagonalWarmup = DiagonalChainWarmup;
  using DenseWarmup = DenseChainWarmup;
  using AnchoredWarmup = AnchoredChainWarmup;

  // A fresh warm-up for chain c, saved into its row.
  template <class W>
  [[nodiscard]] bool start_adaptation_as(std::size_t c, double step0) {
    auto warmup = W::make(settings_.dim, settings_.tune, step0, settings_.target_accept, W::StepRule::Settle);
    if (warmup) warmup->save(view(c).adaptation());
    return warmup.has_value();
  }
  [[nodiscard]] bool start_adaptation(std::size_t c, double step0) {
    if (settings_.anchored) return start_adaptation_as<AnchoredWarmup>(c, step0);
    return settings_.dense ? start_adaptation_as<DenseWarmup>(c, step0) : start_adaptation_as<DiagonalWarmup>(c, step0);
  }

  // Each chain's warm-up from its row, for one call of tune(), into the
  // warm-ups of an earlier call when there are (restore rewrites all their
  // state).
  template <class W>
  [[nodiscard]] bool restore_adaptations_as() {
    std::vector<W>* held = std::get_if<std::vector<W>>(&warmups_);
    if (held == nullptr || held->size() != chains()) {
      held = &warmups_.template emplace<std::vector<W>>();
      if (!try_reserve(*held, chains())) return false;
      for (std::size_t c = 0; c < chains(); ++c) {
        auto warmup = W::make(settings_.dim, settings_.tune, 1.0, settings_.target_accept, W::StepRule::Settle);
        if (!warmup) return false;
        held->push_back(std::move(*warmup));
      }
    }
    for (std::size_t c = 0; c < chains(); ++c) (*held)[c].restore(view(c).adaptation());
    return true;
  }
  [[nodiscard]] bool restore_adaptations() {
    if (settings_.anchored) return restore_adaptations_as<AnchoredWarmup>();
    return settings_.dense ? restore_adaptations_as<DenseWarmup>() : restore_adaptations_as<DiagonalWarmup>();
  }

  void save_adaptations() const {
    std::visit(
        [&](const auto& warmups) {
          for (std::size_t c = 0; c < warmups.size(); ++c) warmups[c].save(view(c).adaptation());
        },
        warmups_);
  }

  // One tuning step of chain c done: the step size and, at the end of a
  // window, the metric; at the end of tuning the averaged step is kept.
  void adapt(std::size_t c, double alpha) {
    const ChainView chain = view(c);
    // A random walk has no gradient: a constant one leaves the draws alone
    // to estimate the scales.
    const std::span<const double> g = settings_.kind == ChainKind::Hamiltonian ? chain.grad() : flat_;
    const bool finished = std::visit(
        [&](auto& warmups) {
          chain.step() = warmups[c].update(chain.x(), g, alpha, chain.metric(), chain.step()).step;
          return warmups[c].finished();
        },
        warmups_);
    if (finished) finish_tuning(chain);
  }

  static void finish_tuning(const ChainView& chain) {
    chain.accepted() = 0.0;
    chain.steps() = 0.0;
    chain.divergent() = 0.0;
  }

  const L* f_;
  std::span<S> sources_;
  std::span<double> states_;
  ChainSettings settings_;
  std::vector<double>& points_;
  std::vector<double>& values_;
  std::vector<unsigned char>& live_;
  std::vector<double>& z_;
  std::vector<double>& q_;
  std::vector<double>& gq_;
  std::vector<double>& r_;
  std::vector<double>& energy_;
  std::vector<double>& flat_;  // the zero gradient of a random walk
  ChainWarmups& warmups_;
  std::vector<double>& eps_;  // the jittered step of each chain's transition
  std::vector<std::size_t>& index_;
  std::vector<std::uint64_t>& length_;    // each trajectory's leapfrog steps
  std::vector<double>& end_value_;        // the log-density where it ended
  std::vector<unsigned char>& diverged_;
  std::vector<TransitionStats>& last_;    // each chain's last transition
  std::vector<double>& jump_ratio_;       // ln q(x) - ln q(y) of a warm-up jump
  std::vector<unsigned char>& jumped_;    // whether this step of chain c jumps
};

}  // namespace varlix
