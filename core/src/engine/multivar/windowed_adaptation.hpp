// Warm-up of a Hamiltonian chain in windows: the step size by dual
// averaging throughout, the metric from the draws of doubling windows.
//
// The schedule has a fast first buffer (only the step adapts while the
// chain finds the typical set), slow windows of doubling length (each ends
// with a new metric estimated from its own draws, and the step's adaptation
// restarts), and a fast last buffer (the step settles for the final
// metric). Defaults 75 / 25 / 50 iterations; a warm-up too short for them
// keeps the proportions 15% / 75% / 10%, and below 20 iterations only the
// step adapts. A window whose successor would not fit before the last
// buffer takes the rest of the slow phase.
//
// The diagonal metric of a window is estimated from positions and
// gradients together: for a Gaussian coordinate of variance s^2 the
// positions have variance s^2 and the gradients 1 / s^2, so
// sqrt(var(x) / var(grad)) recovers s^2 however little of the target the
// window covered, where var(x) alone would only see the ground covered. A
// short or sticky window still misjudges some scales, so each estimate is
// pulled toward the coordinate's own previous scale (a geometric mean
// weighted as kPriorDraws draws), never toward a value common to all
// coordinates: a common floor inflates every small scale. A dense metric
// is the draws' covariance with its correlations shrunk toward zero and its
// variances pulled only toward their own previous values. (It takes its
// scales from the draws alone: on a correlated target the gradients'
// variances are the inverse conditional variances, which a diagonal metric
// rightly sits between but a dense one, carrying the correlations itself,
// must not.)
// References: Hoffman & Gelman (2014), section 3.2 (dual averaging); the
// window scheme of the Stan Reference Manual, "HMC algorithm parameters";
// Seyboldt et al., "Preconditioning for Hamiltonian Monte Carlo" (the
// draws-and-gradients estimate of the nutpie sampler); Welford (1962).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "memory.hpp"
#include "multivar/chain_fault.hpp"
#include "multivar/dual_averaging.hpp"
#include "multivar/cholesky.hpp"

namespace varlix {

// Iterations [begin, end) of a slow window; `size` is its nominal length,
// which the next window doubles (the last window may be longer).
struct WarmupWindow {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::uint64_t size = 0;
  friend bool operator==(const WarmupWindow&, const WarmupWindow&) = default;
};

struct WarmupSchedule {
  // Below this many iterations a covariance from a handful of correlated
  // draws is worse than the starting metric.
  static constexpr std::uint64_t kMinWarmupForMetric = 20;
  static constexpr std::uint64_t kInitBuffer = 75;
  static constexpr std::uint64_t kBaseWindow = 25;
  static constexpr std::uint64_t kTermBuffer = 50;

  std::uint64_t total = 0;
  std::uint64_t init_buffer = 0;
  std::uint64_t term_buffer = 0;
  std::uint64_t base_window = 0;

  [[nodiscard]] static WarmupSchedule for_warmup(std::uint64_t total) {
    if (total < kMinWarmupForMetric) return {total, total, 0, 0};
    if (kInitBuffer + kBaseWindow + kTermBuffer <= total) return {total, kInitBuffer, kTermBuffer, kBaseWindow};
    const std::uint64_t init = total * 15 / 100;
    const std::uint64_t term = total / 10;
    return {total, init, term, total - init - term};
  }

  [[nodiscard]] bool adapts_metric() const { return base_window > 0; }
  [[nodiscard]] std::uint64_t slow_end() const { return total - term_buffer; }
  // Preconditions: adapts_metric(); for next_window, !is_last(w).
  [[nodiscard]] WarmupWindow first_window() const { return window(init_buffer, base_window); }
  [[nodiscard]] WarmupWindow next_window(const WarmupWindow& w) const { return window(w.end, 2 * w.size); }
  [[nodiscard]] bool is_last(const WarmupWindow& w) const { return w.end == slow_end(); }

 private:
  [[nodiscard]] WarmupWindow window(std::uint64_t begin, std::uint64_t size) const {
    const std::uint64_t end = begin + size;
    return {begin, end + 2 * size > slow_end() ? slow_end() : end, size};
  }
};

namespace warmup_detail {

// The previous scale counts as this many draws of the new window: enough to
// steady the 25 draws of a first window, negligible against a late one.
inline constexpr double kPriorDraws = 5.0;

// Running means and sums of squared deviations, one per coordinate.
struct Moments {
  std::vector<double> mean;
  std::vector<double> m2;

  [[nodiscard]] bool allocate(std::size_t d) { return try_resize(mean, d) && try_resize(m2, d); }
  void clear() {
    std::fill(mean.begin(), mean.end(), 0.0);
    std::fill(m2.begin(), m2.end(), 0.0);
  }
  // Flat state: the means, then the sums of squares.
  void save(std::span<double> out) const {
    std::copy(mean.begin(), mean.end(), out.begin());
    std::copy(m2.begin(), m2.end(), out.begin() + static_cast<std::ptrdiff_t>(mean.size()));
  }
  void restore(std::span<const double> in) {
    std::copy_n(in.begin(), mean.size(), mean.begin());
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(mean.size()), m2.size(), m2.begin());
  }
  // The n-th value (n >= 1).
  void add(std::span<const double> v, double n) {
    for (std::size_t i = 0; i < v.size(); ++i) {
      const double delta = v[i] - mean[i];
      mean[i] += delta / n;
      m2[i] += delta * (v[i] - mean[i]);
    }
  }
};

// The window's scale for one coordinate, pulled toward `previous`: from
// draws and gradients where both vary, from the draws alone where the
// gradient is constant (a linear log-density carries no curvature), and
// `previous` itself where the chain never moved.
[[nodiscard]] inline double regularised_scale(double x_m2, double g_m2, double n, double previous) {
  double estimate = previous;
  if (x_m2 > 0.0 && g_m2 > 0.0) {
    estimate = std::sqrt(std::sqrt(x_m2 / g_m2));
  } else if (x_m2 > 0.0) {
    estimate = std::sqrt(x_m2 / (n - 1.0));
  }
  if (!std::isfinite(estimate) || !(estimate > 0.0)) return previous;
  const double w = n / (n + kPriorDraws);
  return std::exp(w * std::log(estimate) + (1.0 - w) * std::log(previous));
}

// Floor on a transition's acceptance before its logarithm is taken: one
// that accepted nothing (its first leapfrog step diverged) then pulls the
// settling log-step down by target * ln(target / kAcceptanceFloor), about
// 3.5 for target 0.8, not without bound.
inline constexpr double kAcceptanceFloor = 0.01;

// The statistic whose arithmetic mean meets the target exactly where the
// geometric mean of alpha does: target * (1 + ln(alpha / target)), equal to
// alpha to first order near the target.
[[nodiscard]] inline double geometric_statistic(double alpha, double target) {
  return target * (1.0 + std::log(std::max(alpha, kAcceptanceFloor) / target));
}

}  // namespace warmup_detail

// The diagonal metric (a scale per coordinate) of a window's draws and
// gradients; O(d) memory.
class DiagonalEstimator {
 public:
  [[nodiscard]] static std::expected<DiagonalEstimator, ChainFault> make(std::size_t dim) {
    DiagonalEstimator e;
    if (!e.x_.allocate(dim) || !e.g_.allocate(dim)) return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    return e;
  }

  [[nodiscard]] static std::size_t metric_size(std::size_t dim) { return dim; }
  [[nodiscard]] static std::size_t state_size(std::size_t dim) { return 4 * dim + 1; }
  [[nodiscard]] double count() const { return n_; }

  // The window's running sums as state_size(d) doubles, and back.
  void save(std::span<double> out) const {
    const std::size_t d = x_.mean.size();
    out[0] = n_;
    x_.save(out.subspan(1, 2 * d));
    g_.save(out.subspan(1 + 2 * d, 2 * d));
  }
  void restore(std::span<const double> in) {
    const std::size_t d = x_.mean.size();
    n_ = in[0];
    x_.restore(in.subspan(1, 2 * d));
    g_.restore(in.subspan(1 + 2 * d, 2 * d));
  }

  void add(std::span<const double> x, std::span<const double> g) {
    n_ += 1.0;
    x_.add(x, n_);
    g_.add(g, n_);
  }

  // Replaces the scales by the window's estimate (nothing from fewer than
  // two draws) and starts a new window.
  void update(std::span<double> scale) {
    if (n_ >= 2.0) {
      for (std::size_t i = 0; i < scale.size(); ++i) {
        scale[i] = warmup_detail::regularised_scale(x_.m2[i], g_.m2[i], n_, scale[i]);
      }
    }
    clear();
  }

  void clear() {
    n_ = 0.0;
    x_.clear();
    g_.clear();
  }

 private:
  warmup_detail::Moments x_;
  warmup_detail::Moments g_;
  double n_ = 0.0;
};

// The dense metric (a lower-triangular factor, row-major d x d) of a
// window's draws (the gradients are not used); O(d^2) memory.
class DenseEstimator {
 public:
  [[nodiscard]] static std::expected<DenseEstimator, ChainFault> make(std::size_t dim) {
    DenseEstimator e;
    e.d_ = dim;
    if (!try_resize(e.mean_, dim) || !try_resize(e.comoments_, dim * dim) ||
        !try_resize(e.scale_, dim) || !try_resize(e.work_, dim * dim)) {
      return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    }
    return e;
  }

  [[nodiscard]] static std::size_t metric_size(std::size_t dim) { return dim * dim; }
  [[nodiscard]] static std::size_t state_size(std::size_t dim) { return dim * dim + dim + 1; }
  [[nodiscard]] double count() const { return n_; }
  // The window's sums of cross products about the mean, lower triangle of
  // a row-major d x d.
  [[nodiscard]] std::span<const double> comoments() const { return comoments_; }

  // The window's running sums as state_size(d) doubles, and back.
  void save(std::span<double> out) const {
    out[0] = n_;
    std::copy(mean_.begin(), mean_.end(), out.begin() + 1);
    std::copy(comoments_.begin(), comoments_.end(), out.begin() + 1 + static_cast<std::ptrdiff_t>(d_));
  }
  void restore(std::span<const double> in) {
    n_ = in[0];
    std::copy_n(in.begin() + 1, d_, mean_.begin());
    std::copy_n(in.begin() + 1 + static_cast<std::ptrdiff_t>(d_), d_ * d_, comoments_.begin());
  }

  void add(std::span<const double> x, std::span<const double> /*g*/) {
    n_ += 1.0;
    const double weight = (n_ - 1.0) / n_;
    for (std::size_t i = 0; i < d_; ++i) {
      const double di = weight * (x[i] - mean_[i]);
      for (std::size_t j = 0; j <= i; ++j) comoments_[i * d_ + j] += di * (x[j] - mean_[j]);
    }
    for (std::size_t i = 0; i < d_; ++i) mean_[i] += (x[i] - mean_[i]) / n_;
  }

  // Replaces the factor by the window's estimate (kept when fewer than two
  // draws, or when the estimate is not numerically positive definite) and
  // starts a new window.
  void update(std::span<double> factor) {
    if (n_ >= 2.0) estimate_into(factor);
    clear();
  }

  void clear() {
    n_ = 0.0;
    std::fill(mean_.begin(), mean_.end(), 0.0);
    std::fill(comoments_.begin(), comoments_.end(), 0.0);
  }

 private:
  void estimate_into(std::span<double> factor) {
    const std::size_t d = d_;
    for (std::size_t i = 0; i < d; ++i) {
      double previous = 0.0;  // the row norm of L: coordinate i's sd now
      for (std::size_t k = 0; k <= i; ++k) previous += factor[i * d + k] * factor[i * d + k];
      scale_[i] = warmup_detail::regularised_scale(comoments_[i * d + i], 0.0, n_, std::sqrt(previous));
    }
    const double keep = n_ / (n_ + warmup_detail::kPriorDraws);
    for (std::size_t i = 0; i < d; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        const double norm = std::sqrt(comoments_[i * d + i] * comoments_[j * d + j]);
        const double correlation = norm > 0.0 ? keep * comoments_[i * d + j] / norm : 0.0;
        work_[i * d + j] = scale_[i] * scale_[j] * correlation;
      }
      work_[i * d + i] = scale_[i] * scale_[i];
    }
    if (cholesky_in_place(work_, d)) std::copy(work_.begin(), work_.end(), factor.begin());
  }

  std::size_t d_ = 0;
  std::vector<double> mean_;
  std::vector<double> comoments_;  // lower triangle
  std::vector<double> scale_;
  std::vector<double> work_;
  double n_ = 0.0;
};

template <class E>
concept MetricEstimator = requires(E& e, std::span<const double> v, std::span<double> m) {
  e.add(v, v);
  e.update(m);
};

// The warm-up of one chain: called once per warm-up iteration with where
// the transition left the chain, it returns the step size for the next
// iteration and, at the end of each slow window, rewrites the metric.
template <MetricEstimator E>
class WindowedAdaptation {
 public:
  struct Step {
    double step;
    bool metric_changed;
  };

  // How the step follows a new metric. Explore is plain dual averaging
  // (Hoffman & Gelman): a restart tries tenfold steps first, and the step
  // kept is the average of the iterates. That average misses the target
  // (Jensen's inequality): a No-U-Turn chain then ran at acceptance
  // 0.84-0.87 for 0.8, with trajectories up to twice as long as needed, and
  // a fixed-length trajectory's step did not settle within the last buffer.
  // Settle, which the fixed-length samplers use, restarts at the current
  // step after a new metric and converges the step itself by stochastic
  // approximation in the last buffer.
  // SettleGeometric, which NUTS uses, is Settle with the last buffer aiming
  // the geometric mean of the acceptance statistics at the target, and a
  // divergent transition counting as accepting nothing (its trajectory's
  // statistic averages only the states built before the integrator failed,
  // which says little about the step where it failed). Where the
  // acceptance hardly varies between transitions (a well-conditioned
  // target) the two means agree, no trajectory diverges, and the steps are
  // the same. Where it varies with the region (a funnel, a banana), the
  // arithmetic mean lets a few transitions near 0 in the narrow region be
  // paid for by many near 1 elsewhere, and at that step NUTS diverged in
  // 3-5% of its draws (a Gaussian-process Poisson regression); the
  // geometric mean weighs those transitions by their logarithm, which
  // divided the divergences there by about 4 and on a banana by about 6,
  // for 8% fewer effective samples per gradient on a 100-D Gaussian.
  // Hoffman, Radul & Sountsov (2021), "An adaptive-MCMC scheme for setting
  // trajectory lengths in Hamiltonian Monte Carlo", average parallel
  // chains' acceptance harmonically for a like reason.
  enum class StepRule : std::uint8_t { Explore, Settle, SettleGeometric };

  // `warmup` iterations starting from step size step0 (> 0), aiming at
  // target_accept in (0, 1).
  [[nodiscard]] static std::expected<WindowedAdaptation, ChainFault> make(std::size_t dim, std::uint64_t warmup,
                                                                          double step0, double target_accept,
                                                                          StepRule rule = StepRule::Explore) {
    auto estimator = E::make(dim);
    if (!estimator) return std::unexpected(estimator.error());
    return WindowedAdaptation(std::move(*estimator), WarmupSchedule::for_warmup(warmup), step0, target_accept, rule);
  }

  // The whole warm-up state as state_size(d) doubles (integers below 2^53
  // are exact in them), and back: a run saved and restored continues bit
  // for bit.
  static constexpr std::size_t kHeaderWords = 13;
  [[nodiscard]] static std::size_t state_size(std::size_t dim) { return kHeaderWords + E::state_size(dim); }
  void save(std::span<double> out) const {
    const double header[kHeaderWords] = {
        static_cast<double>(schedule_.total), static_cast<double>(schedule_.init_buffer),
        static_cast<double>(schedule_.term_buffer), static_cast<double>(schedule_.base_window),
        static_cast<double>(window_.begin), static_cast<double>(window_.end), static_cast<double>(window_.size),
        averaging_.mu, averaging_.h_bar, averaging_.log_eps_bar, averaging_.count, target_, static_cast<double>(t_)};
    std::copy(std::begin(header), std::end(header), out.begin());
    estimator_.save(out.subspan(kHeaderWords));
  }
  void restore(std::span<const double> in) {
    auto u = [&](std::size_t k) { return static_cast<std::uint64_t>(in[k]); };
    schedule_ = {u(0), u(1), u(2), u(3)};
    window_ = {u(4), u(5), u(6)};
    averaging_ = {in[7], in[8], in[9], in[10]};
    target_ = in[11];
    t_ = u(12);
    estimator_.restore(in.subspan(kHeaderWords));
  }

  [[nodiscard]] const WarmupSchedule& schedule() const { return schedule_; }
  [[nodiscard]] std::uint64_t done() const { return t_; }
  [[nodiscard]] bool finished() const { return t_ >= schedule_.total; }

  // Precondition: !finished(). x and g are the chain's position and
  // gradient after the iteration, alpha its acceptance statistic, and
  // `divergent` whether its trajectory diverged; `current_step` the step it
  // ran with (read by the settling rules only, `divergent` by
  // SettleGeometric only).
  [[nodiscard]] Step update(std::span<const double> x, std::span<const double> g, double alpha,
                            std::span<double> metric, double current_step = 0.0, bool divergent = false) {
    const std::uint64_t t = t_++;
    const bool settling = rule_ != StepRule::Explore && schedule_.adapts_metric() && t >= schedule_.slow_end();
    const double statistic = settling && rule_ == StepRule::SettleGeometric
                                 ? warmup_detail::geometric_statistic(divergent ? 0.0 : alpha, target_)
                                 : alpha;
    double step = settling ? averaging_.refine(current_step, statistic, target_) : averaging_.update(alpha, target_);
    bool changed = false;
    if (schedule_.adapts_metric() && t >= window_.begin && t < window_.end) {
      estimator_.add(x, g);
      if (t + 1 == window_.end) {
        estimator_.update(metric);
        changed = true;
        // The metric now matches the target's scales, so the best step
        // changes; restart around the current one.
        averaging_ = rule_ == StepRule::Explore ? DualAveraging::start(step) : DualAveraging::restart(step);
        if (!schedule_.is_last(window_)) window_ = schedule_.next_window(window_);
      }
    }
    if (t_ == schedule_.total) step = averaging_.averaged_step();
    return {step, changed};
  }

 private:
  WindowedAdaptation(E estimator, WarmupSchedule schedule, double step0, double target, StepRule rule)
      : estimator_(std::move(estimator)), schedule_(schedule),
        window_(schedule.adapts_metric() ? schedule.first_window() : WarmupWindow{}),
        averaging_(DualAveraging::start(step0)), target_(target), rule_(rule) {}

  E estimator_;
  WarmupSchedule schedule_;
  WarmupWindow window_;
  DualAveraging averaging_;
  double target_;
  StepRule rule_;  // fixed by the sampler, so not part of the saved state
  std::uint64_t t_ = 0;
};

}  // namespace varlix
