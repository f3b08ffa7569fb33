// A group of No-U-Turn chains that owns its state between calls: built once
// per run, started once, then advanced in pieces (so that an interrupt or a
// progress report can come between them), each piece writing its
// iterations into the record the caller attached.
//
// Each chain has its own position, gradient, step size, metric, warm-up and
// workspace; chains never share a batch, so a chain's path depends only on
// its own uniform source, whichever chains share its group or thread. The
// first `tune` iterations are the warm-up (windowed_adaptation.hpp); the
// step size then stays at its averaged value and nothing adapts.
// The starting step size follows Hoffman & Gelman (2014), Algorithm 4: from
// 1, halve or double until one leapfrog step's acceptance crosses 1/2.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "memory.hpp"
#include "multivar/chain_runner.hpp"
#include "multivar/hamiltonian_metric.hpp"
#include "multivar/log_density.hpp"
#include "multivar/low_rank_adaptation.hpp"
#include "multivar/nuts.hpp"
#include "multivar/windowed_adaptation.hpp"
#include "uniform_source.hpp"

namespace varlix {

struct NutsSettings {
  std::size_t dim = 0;
  std::uint64_t tune = 0;
  double target_accept = 0.8;
  std::uint32_t max_tree_depth = 10;
};

// Where iterations go: row k of chain c is entry c * rows + k of each span
// (samples: d doubles per row). An empty span is not recorded.
struct NutsRecord {
  std::size_t rows = 0;
  std::span<double> samples;
  std::span<double> log_density;
  std::span<double> accept_stat;
  std::span<double> step_size;
  std::span<double> energy;
  std::span<std::int64_t> tree_depth;
  std::span<std::int64_t> n_steps;
  std::span<std::uint8_t> diverging;
};

// The metric kind a warm-up estimator adapts: a scale per coordinate, a
// lower-triangular factor, or scales and a few directions.
template <class E>
struct MetricOf;
template <>
struct MetricOf<DiagonalEstimator> {
  using type = DiagonalMetric;
  static type view(std::span<const double> words) { return {words}; }
};
template <>
struct MetricOf<DenseEstimator> {
  using type = DenseMetric;
  static type view(std::span<const double> words) { return {words}; }
};
template <>
struct MetricOf<LowRankEstimator> {
  using type = LowRankMetric;
  static type view(std::span<const double> words) { return {words}; }
};

template <MetricEstimator E>
class NutsChains {
 public:
  using Metric = typename MetricOf<E>::type;

  // `metric0`: chains x metric_size(d) words (scales, or factors), the
  // starting metric of every chain.
  [[nodiscard]] static std::expected<NutsChains, ChainFault> make(const NutsSettings& settings, std::size_t chains,
                                                                  std::span<const double> x0,
                                                                  std::span<const double> metric0) {
    NutsChains group(settings);
    const std::size_t d = settings.dim;
    const std::size_t m = E::metric_size(d);
    for (std::size_t c = 0; c < chains; ++c) {
      auto ws = NutsWorkspace::make(d, settings.max_tree_depth);
      if (!ws) return std::unexpected(ws.error());
      auto warmup = WindowedAdaptation<E>::make(d, settings.tune, 1.0, settings.target_accept, kStepRule);
      if (!warmup) return std::unexpected(warmup.error());
      Chain chain{std::move(*ws), std::move(*warmup)};
      if (!try_resize(chain.x, d) || !try_resize(chain.grad, d) || !try_resize(chain.metric, m)) {
        return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
      }
      std::copy_n(x0.begin() + static_cast<std::ptrdiff_t>(c * d), d, chain.x.begin());
      std::copy_n(metric0.begin() + static_cast<std::ptrdiff_t>(c * m), m, chain.metric.begin());
      if (!try_push(group.chains_, std::move(chain))) return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    }
    return group;
  }

  [[nodiscard]] std::size_t chains() const { return chains_.size(); }
  [[nodiscard]] std::uint64_t done() const { return done_; }
  [[nodiscard]] std::span<const double> metric(std::size_t c) const { return chains_[c].metric; }
  [[nodiscard]] double step(std::size_t c) const { return chains_[c].step; }

  // A chain's whole state as chain_state_size(d) doubles: position,
  // gradient, metric, log-density, step size and warm-up. Saved after a
  // call and restored into a group made with the same settings, the chains
  // continue bit for bit (given the same uniform sources' states).
  [[nodiscard]] std::size_t chain_state_size() const {
    const std::size_t d = settings_.dim;
    return 2 * d + E::metric_size(d) + 2 + WindowedAdaptation<E>::state_size(d);
  }
  void save(std::size_t c, std::span<double> out) const {
    const Chain& chain = chains_[c];
    auto it = std::copy(chain.x.begin(), chain.x.end(), out.begin());
    it = std::copy(chain.grad.begin(), chain.grad.end(), it);
    it = std::copy(chain.metric.begin(), chain.metric.end(), it);
    *it++ = chain.lp;
    *it++ = chain.step;
    chain.warmup.save(out.subspan(static_cast<std::size_t>(it - out.begin())));
  }
  void restore(std::size_t c, std::span<const double> in, std::uint64_t done) {
    Chain& chain = chains_[c];
    const std::size_t d = settings_.dim;
    std::size_t k = 0;
    auto take = [&](std::span<double> to) {
      std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(k), to.size(), to.begin());
      k += to.size();
    };
    take(chain.x);
    take(chain.grad);
    take(chain.metric);
    chain.lp = in[k++];
    chain.step = in[k++];
    static_cast<void>(d);
    chain.warmup.restore(in.subspan(k));
    done_ = done;
  }

  // The log-density and gradient at every starting point, and a starting
  // step size; one uniform source per chain.
  template <DifferentiableLogDensity L, UniformSource S>
  [[nodiscard]] std::expected<void, ChainFault> start(const L& f, std::span<S> sources) {
    for (std::size_t c = 0; c < chains(); ++c) {
      Chain& chain = chains_[c];
      if (!evaluate_with_gradient(f, chain.x, chain.grad, chain.lp)) {
        return std::unexpected(detail::fault_at(ChainFault::Kind::GradientFailed, c, 0.0, chain.x));
      }
      if (chain.lp == -HUGE_VAL) {
        return std::unexpected(detail::fault_at(ChainFault::Kind::OutsideSupport, c, chain.lp, chain.x));
      }
      if (!std::isfinite(chain.lp)) return std::unexpected(detail::value_fault(c, chain.lp, chain.x));
      if (!detail::finite_point(chain.grad)) {
        return std::unexpected(detail::fault_at(ChainFault::Kind::GradientNotFinite, c, 0.0, chain.x));
      }
      auto step = initial_step(f, chain, sources[c]);
      if (!step) return std::unexpected(detail::fault_at(ChainFault::Kind::GradientFailed, c, 0.0, chain.x));
      chain.step = *step;
      auto warmup = WindowedAdaptation<E>::make(settings_.dim, settings_.tune, chain.step, settings_.target_accept,
                                                kStepRule);
      if (!warmup) return std::unexpected(warmup.error());
      chain.warmup = std::move(*warmup);
    }
    return {};
  }

  // The next `count` iterations of every chain (warm-up first), recorded at
  // rows cursor .. cursor + count - 1 of `out`. On a fault the chains
  // stay at the iteration that failed.
  template <DifferentiableLogDensity L, UniformSource S>
  [[nodiscard]] std::expected<void, ChainFault> advance(const L& f, std::span<S> sources, std::uint64_t count,
                                                        const NutsRecord& out, std::size_t cursor) {
    for (std::size_t c = 0; c < chains(); ++c) {
      Chain& chain = chains_[c];
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t t = done_ + k;
        auto stats = nuts_transition(f, MetricOf<E>::view(chain.metric), chain.step, sources[c], chain.ws, chain.x,
                                     chain.grad, chain.lp);
        if (!stats) return std::unexpected(detail::fault_at(ChainFault::Kind::NotANumber, c, 0.0, stats.error().point));
        const double used_step = chain.step;
        if (t < settings_.tune) {
          chain.step = chain.warmup.update(chain.x, chain.grad, stats->accept_stat, chain.metric, chain.step, stats->divergent).step;
        }
        record(out, c, cursor + k, chain, *stats, used_step);
      }
    }
    done_ += count;
    return {};
  }

 private:
  static constexpr auto kStepRule = WindowedAdaptation<E>::StepRule::SettleGeometric;

  struct Chain {
    NutsWorkspace ws;
    WindowedAdaptation<E> warmup;
    std::vector<double> x = {};
    std::vector<double> grad = {};
    std::vector<double> metric = {};
    double lp = 0.0;
    double step = 1.0;
  };

  explicit NutsChains(const NutsSettings& settings) : settings_(settings) {}

  template <class T>
  [[nodiscard]] static bool try_push(std::vector<T>& v, T&& item) {
    if (!try_reserve(v, v.size() + 1)) return false;
    v.push_back(std::move(item));
    return true;
  }

  void record(const NutsRecord& out, std::size_t c, std::size_t k, const Chain& chain, const NutsStats& s,
              double step) const {
    const std::size_t i = c * out.rows + k;
    const std::size_t d = settings_.dim;
    if (!out.samples.empty()) std::copy(chain.x.begin(), chain.x.end(), out.samples.begin() + static_cast<std::ptrdiff_t>(i * d));
    if (!out.log_density.empty()) out.log_density[i] = chain.lp;
    if (!out.accept_stat.empty()) out.accept_stat[i] = s.accept_stat;
    if (!out.step_size.empty()) out.step_size[i] = step;
    if (!out.energy.empty()) out.energy[i] = s.energy;
    if (!out.tree_depth.empty()) out.tree_depth[i] = static_cast<std::int64_t>(s.tree_depth);
    if (!out.n_steps.empty()) out.n_steps[i] = static_cast<std::int64_t>(s.leapfrog_steps);
    if (!out.diverging.empty()) out.diverging[i] = s.divergent ? 1 : 0;
  }

  // Hoffman & Gelman's heuristic; absent when the function failed.
  template <DifferentiableLogDensity L, UniformSource S>
  [[nodiscard]] std::expected<double, bool> initial_step(const L& f, Chain& chain, S& source) {
    constexpr int kMaxHalvings = 60;
    const Metric metric = MetricOf<E>::view(chain.metric);
    const std::span<double> q = chain.ws.row(NutsWorkspace::kPlusQ);
    const std::span<double> r = chain.ws.row(NutsWorkspace::kPlusR);
    const std::span<double> g = chain.ws.row(NutsWorkspace::kPlusG);
    double step = 1.0;
    int direction = 0;
    for (int i = 0; i < kMaxHalvings; ++i) {
      fill_standard_normal(source, r);
      const double h0 = -chain.lp + 0.5 * detail::squared_norm(r);
      std::copy(chain.x.begin(), chain.x.end(), q.begin());
      metric.kick(r, 0.5 * step, chain.grad);
      metric.move(q, step, r);
      double lp = -HUGE_VAL;
      if (detail::finite_point(q)) {
        if (!evaluate_with_gradient(f, q, g, lp)) return std::unexpected(false);
        if (std::isfinite(lp) && detail::finite_point(g)) metric.kick(r, 0.5 * step, g);
      }
      double log_ratio = std::isfinite(lp) ? h0 - (-lp + 0.5 * detail::squared_norm(r)) : -HUGE_VAL;
      if (std::isnan(log_ratio)) log_ratio = -HUGE_VAL;
      const int wants = log_ratio > std::log(0.5) ? 1 : -1;
      if (direction == 0) direction = wants;
      if (wants != direction) break;
      const double next = direction > 0 ? step * 2.0 : step * 0.5;
      if (!(next > 1e-10 && next < 1e10)) break;
      step = next;
    }
    return step;
  }

  NutsSettings settings_;
  std::vector<Chain> chains_;
  std::uint64_t done_ = 0;
};

}  // namespace varlix
