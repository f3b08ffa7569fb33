// Adaptation of a chain's proposal metric during tuning, in windows.
//
// Tuning is split into a fast initial buffer (the step size alone adapts
// while the chain finds the typical set), a run of slow windows of doubling
// length (at the end of each, the metric becomes the covariance estimate of
// all positions since the initial buffer, and the step-size adaptation
// restarts; keeping the earlier windows' positions matters for a random
// walk, whose windows hold few effective positions each), and a fast terminal buffer (the step size settles for the final
// metric). A window of a slowly mixing chain holds few effective positions
// (a random walk in 20 dimensions: a handful in 500 steps), and their
// covariance is mostly noise; so each variance is pulled toward the
// coordinate's previous one (by effective positions), and the correlations
// are shrunk toward zero with the intensity of Ledoit & Wolf (2004): the
// expected squared error of S, (|S|^2 + trace^2) / n_eff for Gaussian
// positions, over the dispersion |S - mu I|^2 (Frobenius norms, mu =
// trace / d), capped at 1. n_eff is the window's length over the
// integrated autocorrelation time of an AR(1) chain with the window's mean
// lag-1 autocorrelation. A strong structure (a correlation of 0.9) is kept
// from few effective positions, noise is not. A small relative ridge keeps
// every estimate positive definite. The metric is kept as a
// lower-triangular factor L of the covariance: proposals move along L z.
// A dense metric suits unbounded targets with correlated coordinates; on a
// box, where coordinates are mirrored one at a time, only a diagonal metric
// keeps the proposal symmetric.
// References: Haario, Saksman & Tamminen (2001), "An adaptive Metropolis
// algorithm"; the window scheme and the shrinkage follow the Stan Reference
// Manual (2023), "HMC algorithm parameters: automatic parameter tuning"
// (with a longer terminal buffer, see below);
// Welford (1962) for the running co-moments.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "multivar/chain_state.hpp"

namespace varlix {

// Where the windows of a tuning run of `total` steps lie.
struct TuneSchedule {
  // Below this many tuning steps only the step size adapts: a covariance
  // from a handful of correlated positions is worse than the identity.
  static constexpr std::uint64_t kMinTuneForMetric = 20;
  // The buffers and first window of a long tuning run. The terminal
  // buffer is long because dual averaging restarted for the final metric
  // needs a few hundred steps before its averaged step size meets the
  // target acceptance rate to within a few per cent.
  static constexpr std::uint64_t kInitBuffer = 75;
  static constexpr std::uint64_t kTermBuffer = 250;
  static constexpr std::uint64_t kBaseWindow = 25;

  std::uint64_t total = 0;
  std::uint64_t init_buffer = 0;
  std::uint64_t term_buffer = 0;
  std::uint64_t base_window = 0;

  [[nodiscard]] static TuneSchedule for_total(std::uint64_t total) {
    if (total < kMinTuneForMetric) return {total, total, 0, 0};
    if (kInitBuffer + kTermBuffer + kBaseWindow <= total) return {total, kInitBuffer, kTermBuffer, kBaseWindow};
    // A short run keeps the proportions 15% / 60% / 25%.
    const std::uint64_t init = total * 15 / 100;
    const std::uint64_t term = total / 4;
    return {total, init, term, total - init - term};
  }

  [[nodiscard]] bool adapts_metric() const { return base_window > 0; }
  [[nodiscard]] std::uint64_t slow_end() const { return total - term_buffer; }

  // The end (exclusive) of a window of `size` steps starting at `start`: a
  // window whose successor would not fit before the terminal buffer takes
  // the rest of the slow phase.
  [[nodiscard]] std::uint64_t window_end(std::uint64_t start, std::uint64_t size) const {
    const std::uint64_t end = start + size;
    if (end + 2 * size > slow_end()) return slow_end();
    return end;
  }
};

// Ridge added to the estimate of n positions: 1e-3 * 5 / (n + 5) I.
inline constexpr double kShrinkPseudoCount = 5.0;
inline constexpr double kShrinkTarget = 1e-3;
// Bound on the lag-1 autocorrelation: a chain that never moved has no
// finite autocorrelation time.
inline constexpr double kMaxLagCorrelation = 0.999;

// Sets the factor to the identity and the first window of the schedule.
inline void start_metric(const ChainView& chain, const TuneSchedule& schedule) {
  const std::size_t d = chain.dim();
  std::span<double> l = chain.factor();
  std::fill(l.begin(), l.end(), 0.0);
  for (std::size_t i = 0; i < d; ++i) l[i * d + i] = 1.0;
  std::fill(chain.mean().begin(), chain.mean().end(), 0.0);
  std::fill(chain.comoments().begin(), chain.comoments().end(), 0.0);
  std::fill(chain.lag_products().begin(), chain.lag_products().end(), 0.0);
  chain.welford_count() = 0.0;
  chain.window_size() = static_cast<double>(schedule.base_window);
  chain.window_end() =
      schedule.adapts_metric()
          ? static_cast<double>(schedule.window_end(schedule.init_buffer, schedule.base_window))
          : 0.0;
}

// Adds one position to the running mean and co-moments (the full lower
// triangle when dense, the diagonal otherwise), with Welford's update
// M2 += (n - 1) / n * (x - mean_old)(x - mean_old)^T.
inline void accumulate(const ChainView& chain, bool dense) {
  const std::size_t d = chain.dim();
  const double n = chain.welford_count() + 1.0;
  chain.welford_count() = n;
  const double weight = (n - 1.0) / n;
  std::span<const double> x = chain.x();
  std::span<double> mean = chain.mean();
  std::span<double> m2 = chain.comoments();
  for (std::size_t i = 0; i < d; ++i) {
    const double di = weight * (x[i] - mean[i]);
    if (dense) {
      for (std::size_t j = 0; j <= i; ++j) m2[i * d + j] += di * (x[j] - mean[j]);
    } else {
      m2[i * d + i] += di * (x[i] - mean[i]);
    }
  }
  for (std::size_t i = 0; i < d; ++i) mean[i] += (x[i] - mean[i]) / n;
  std::span<double> lag = chain.lag_products();
  std::span<double> previous = chain.previous();
  for (std::size_t i = 0; i < d; ++i) {
    if (n > 1.0) lag[i] += x[i] * previous[i];
    previous[i] = x[i];
  }
}

// The window's effective number of positions: n (1 - rho) / (1 + rho), rho
// the lag-1 autocorrelation averaged over the coordinates.
[[nodiscard]] inline double effective_count(const ChainView& chain) {
  const std::size_t d = chain.dim();
  const double n = chain.welford_count();
  std::span<const double> mean = chain.mean();
  std::span<const double> m2 = chain.comoments();
  std::span<const double> lag = chain.lag_products();
  double rho = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    const double variance = m2[i * d + i] / (n - 1.0);
    const double lagged = lag[i] / (n - 1.0) - mean[i] * mean[i];
    const double r = variance > 0.0 ? lagged / variance : 1.0;
    rho += std::clamp(r, 0.0, kMaxLagCorrelation);
  }
  rho /= static_cast<double>(d);
  return n * (1.0 - rho) / (1.0 + rho);
}

// Cholesky factorisation of the lower triangle of a (row-major, in place);
// false when a is not numerically positive definite.
[[nodiscard]] inline bool cholesky_in_place(std::span<double> a, std::size_t d) {
  for (std::size_t j = 0; j < d; ++j) {
    double diag = a[j * d + j];
    for (std::size_t k = 0; k < j; ++k) diag -= a[j * d + k] * a[j * d + k];
    if (!(diag > 0.0) || !std::isfinite(diag)) return false;
    const double root = std::sqrt(diag);
    a[j * d + j] = root;
    for (std::size_t i = j + 1; i < d; ++i) {
      double s = a[i * d + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * d + k] * a[j * d + k];
      a[i * d + j] = s / root;
    }
    for (std::size_t k = j + 1; k < d; ++k) a[j * d + k] = 0.0;
  }
  return true;
}

// The weight of the scaled identity in the shrunk estimate, in [0, 1].
[[nodiscard]] inline double shrinkage_intensity(const ChainView& chain, bool dense) {
  const std::size_t d = chain.dim();
  const double n = chain.welford_count();
  std::span<const double> m2 = chain.comoments();
  double trace = 0.0;
  double frobenius = 0.0;
  for (std::size_t i = 0; i < d; ++i) {
    const double sii = m2[i * d + i] / (n - 1.0);
    trace += sii;
    frobenius += sii * sii;
    if (!dense) continue;
    for (std::size_t j = 0; j < i; ++j) {
      const double sij = m2[i * d + j] / (n - 1.0);
      frobenius += 2.0 * sij * sij;
    }
  }
  const double mu = trace / static_cast<double>(d);
  const double dispersion = frobenius - static_cast<double>(d) * mu * mu;
  const double error = (frobenius + trace * trace) / effective_count(chain);
  if (!(dispersion > 0.0)) return 1.0;
  return std::min(1.0, error / dispersion);
}

// The previous metric counts as this many effective positions when a
// window's variances are estimated: it steadies a window of a few
// effective positions and fades against a long one.
inline constexpr double kPriorPositions = 5.0;

// Ends a slow window: the factor of the regularised estimate (formed in
// `work`, d x d) replaces the metric, which stays unchanged if the
// estimate is not positive definite (a chain that never moved). Each
// variance is pulled toward the coordinate's own previous variance (a
// geometric mean weighted by effective positions), never toward a value
// common to all coordinates: a common floor inflates every small scale and
// shrinks every large one, which ruins a target whose scales differ by
// orders of magnitude. Only the correlations are shrunk toward zero, by the
// Ledoit-Wolf intensity. The accumulators go on.
inline void update_metric(const ChainView& chain, bool dense, std::span<double> m2) {
  const std::size_t d = chain.dim();
  const double n = chain.welford_count();
  if (n < 2.0) return;
  const std::span<const double> l = chain.factor();
  const std::span<const double> co = chain.comoments();
  const double trust = dense ? 1.0 - shrinkage_intensity(chain, dense) : 0.0;
  const double n_eff = std::max(1.0, effective_count(chain));
  const double w = n_eff / (n_eff + kPriorPositions);
  const double ridge = 1.0 + kShrinkTarget * kShrinkPseudoCount / (n + kShrinkPseudoCount);
  // The new standard deviations go on the diagonal of m2 first.
  for (std::size_t i = 0; i < d; ++i) {
    double previous = 0.0;
    for (std::size_t k = 0; k <= i; ++k) previous += l[i * d + k] * l[i * d + k];
    const double estimate = co[i * d + i] / (n - 1.0);
    double variance = previous;
    if (estimate > 0.0 && previous > 0.0 && std::isfinite(estimate)) {
      variance = std::exp(w * std::log(estimate) + (1.0 - w) * std::log(previous));
    }
    m2[i * d + i] = std::sqrt(variance * ridge);
  }
  for (std::size_t i = 0; i < d; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const double norm = std::sqrt(co[i * d + i] * co[j * d + j]);
      const double correlation = dense && norm > 0.0 ? trust * co[i * d + j] / norm : 0.0;
      m2[i * d + j] = correlation * m2[i * d + i] * m2[j * d + j];
    }
  }
  for (std::size_t i = 0; i < d; ++i) m2[i * d + i] *= m2[i * d + i];
  if (cholesky_in_place(m2, d)) std::copy(m2.begin(), m2.end(), chain.factor().begin());
}

// Called after tuning step t (0-based) has moved the chain: accumulates in
// the slow phase and closes a window at its end. True when the metric
// changed (the step-size adaptation then restarts).
inline bool adapt_metric(const ChainView& chain, const TuneSchedule& schedule, std::uint64_t t, bool dense,
                         std::span<double> work) {
  if (!schedule.adapts_metric()) return false;
  if (t < schedule.init_buffer || t >= schedule.slow_end()) return false;
  accumulate(chain, dense);
  const auto end = static_cast<std::uint64_t>(chain.window_end());
  if (t + 1 != end) return false;
  update_metric(chain, dense, work);
  const auto size = 2 * static_cast<std::uint64_t>(chain.window_size());
  chain.window_size() = static_cast<double>(size);
  chain.window_end() = end < schedule.slow_end() ? static_cast<double>(schedule.window_end(end, size)) : 0.0;
  return true;
}

}  // namespace varlix
