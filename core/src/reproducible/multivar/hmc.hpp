// Hamiltonian Monte Carlo on a box with finite-difference gradients.
//
// Each transition draws a standard normal momentum (unit masses), integrates
// L leapfrog steps of size eps along the gradient of ln f, mirrors positions
// that leave the box (the momentum keeps its sign), and accepts the end point
// by a Metropolis test on the total energy. The gradient is estimated by
// central differences of half-width h, so a transition costs 2d(L+1)+1
// density calls. The right tool for smooth densities in higher dimension,
// where a random walk mixes slowly; there is no adaptation, burn-in or thinning.
// References: Duane, Kennedy, Pendleton & Roweth (1987); Neal (2011), "MCMC
// using Hamiltonian dynamics".
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <expected>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random.hpp"

namespace varlix {

// Central-difference gradient of ln f at x, written into grad. For each i in
// order, f(x + h e_i) is evaluated before f(x - h e_i); the points are not
// mirrored into the box. g_i = (ln f(x+) - ln f(x-)) / (h + h), infinite or NaN
// components included. x_plus and x_minus are work vectors of x.size()
// doubles: filled with x here, coordinate i restored after its two calls.
// No allocation and no random draws; 2d density calls.
template <PdfNd P>
void grad_log_pdf_numeric_into(const P& pdf, std::span<const double> x, double h, std::span<double> x_plus,
                               std::span<double> x_minus, std::span<double> grad) {
  std::copy(x.begin(), x.end(), x_plus.begin());
  std::copy(x.begin(), x.end(), x_minus.begin());
  for (std::size_t i = 0; i < x.size(); ++i) {
    x_plus[i] = x[i] + h;
    x_minus[i] = x[i] - h;
    const double l_plus = log_density(pdf, std::span<const double>(x_plus));
    const double l_minus = log_density(pdf, std::span<const double>(x_minus));
    grad[i] = (l_plus - l_minus) / (h + h);
    x_plus[i] = x[i];
    x_minus[i] = x[i];
  }
}

// The same gradient as a new vector (empty for an empty x).
template <PdfNd P>
[[nodiscard]] std::expected<std::vector<double>, SampleError> grad_log_pdf_numeric(const P& pdf,
                                                                                  std::span<const double> x,
                                                                                  double h) {
  auto x_plus = try_zero_vector(x.size());
  auto x_minus = try_zero_vector(x.size());
  auto grad = try_zero_vector(x.size());
  if (!x_plus || !x_minus || !grad) return std::unexpected(SampleError::out_of_memory());
  grad_log_pdf_numeric_into(pdf, x, h, *x_plus, *x_minus, *grad);
  return std::move(*grad);
}

// The member defaults are the Python factory's; none is validated.
struct HmcParams {
  double step_size = 0.05;
  std::uint64_t leapfrog_steps = 20;
  double grad_eps = 1e-6;
  std::uint64_t init_max_trials = 100000;
};

template <PdfNd P>
class HmcSamplerNd {
 public:
  [[nodiscard]] static std::expected<HmcSamplerNd, BuildError> build(P pdf, HmcParams params) {
    auto support = copy_validated(pdf.support());
    if (!support) return std::unexpected(support.error());
    const std::size_t d = support->dim();
    auto state = try_zero_vector(d);
    auto q = try_zero_vector(d);
    auto momentum = try_zero_vector(d);
    auto grad = try_zero_vector(d);
    auto x_plus = try_zero_vector(d);
    auto x_minus = try_zero_vector(d);
    if (!state || !q || !momentum || !grad || !x_plus || !x_minus) {
      return std::unexpected(BuildError::out_of_memory());
    }
    return HmcSamplerNd(std::move(pdf), std::move(*support), params, std::move(*state),
                        Workspace{std::move(*q), std::move(*momentum), std::move(*grad), std::move(*x_plus),
                                  std::move(*x_minus)});
  }

  // Starts the chain at a uniform point with a finite log-density. On
  // failure (McmcFailed) nothing changes.
  [[nodiscard]] std::expected<void, SampleError> init() { return init_with_rng(thread_rng()); }

  // init with a given generator, for reproducible chains in tests.
  [[nodiscard]] std::expected<void, SampleError> init_with_rng(Rng& rng) {
    auto l = find_initial_state(pdf_, support_, params_.init_max_trials, rng, work_.q);
    if (!l) return std::unexpected(l.error());
    std::swap(state_, work_.q);
    current_log_density_ = *l;
    initialized_ = true;
    return {};
  }

  // One transition; the view of the state stays valid until the next call
  // that moves the chain. Once initialized, no transition fails.
  [[nodiscard]] std::expected<std::span<const double>, SampleError> step_with_rng(Rng& rng) {
    if (!initialized_) return std::unexpected(SampleError::mcmc_not_initialized());
    transition(rng);
    return std::span<const double>(state_);
  }

  // One transition, returning a copy of the state.
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_with_rng(Rng& rng) {
    auto x = step_with_rng(rng);
    if (!x) return std::unexpected(x.error());
    return copy_point(*x);
  }

  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample() { return sample_with_rng(thread_rng()); }

  // n transitions from one generator, the state after each. n = 0 attempts
  // no transition and so succeeds even before init.
  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n_with_rng(std::uint64_t n, Rng& rng) {
    if (n != 0 && !initialized_) return std::unexpected(SampleError::mcmc_not_initialized());
    auto batch = PointBatch::with_capacity(n, dim());
    if (!batch) return batch;
    for (std::uint64_t k = 0; k < n; ++k) {
      transition(rng);
      batch->push_back(state_);
    }
    return batch;
  }

  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n(std::uint64_t n) {
    return sample_n_with_rng(n, thread_rng());
  }

  [[nodiscard]] std::size_t dim() const { return support_.dim(); }
  [[nodiscard]] const HyperRect& support() const { return support_; }
  [[nodiscard]] const P& pdf() const { return pdf_; }
  [[nodiscard]] const HmcParams& params() const { return params_; }
  [[nodiscard]] bool initialized() const { return initialized_; }
  // The state; meaningful only once initialized().
  [[nodiscard]] std::span<const double> state() const { return state_; }
  [[nodiscard]] double current_log_density() const { return current_log_density_; }

 private:
  // Vectors of d doubles reused by every transition. q also serves as the
  // search buffer of init, then trades places with the state.
  struct Workspace {
    std::vector<double> q;
    std::vector<double> momentum;
    std::vector<double> grad;
    std::vector<double> x_plus;
    std::vector<double> x_minus;
  };

  HmcSamplerNd(P pdf, HyperRect support, HmcParams params, std::vector<double> state, Workspace work)
      : pdf_(std::move(pdf)),
        support_(std::move(support)),
        params_(params),
        state_(std::move(state)),
        work_(std::move(work)) {}

  void gradient_at_q() {
    grad_log_pdf_numeric_into(pdf_, std::span<const double>(work_.q), params_.grad_eps, work_.x_plus,
                              work_.x_minus, work_.grad);
  }

  // Precondition: initialized_. 2d uniform draws for the momentum, one more
  // only for a finite end-point log-density; 2d(L+1)+1 density calls.
  void transition(Rng& rng) {
    const double eps = params_.step_size;
    const double half_eps = eps / 2.0;
    std::vector<double>& q = work_.q;
    std::vector<double>& m = work_.momentum;
    const std::vector<double>& g = work_.grad;
    const double* lo = support_.lo().data();
    const double* hi = support_.hi().data();
    const std::size_t d = state_.size();

    for (std::size_t k = 0; k < d; ++k) m[k] = standard_normal(rng);
    const double k0 = kinetic_energy(m);
    std::copy(state_.begin(), state_.end(), q.begin());
    gradient_at_q();
    for (std::size_t k = 0; k < d; ++k) m[k] = m[k] + half_eps * g[k];
    for (std::uint64_t s = 0; s < params_.leapfrog_steps; ++s) {
      for (std::size_t k = 0; k < d; ++k) q[k] = reflect(q[k] + eps * m[k], lo[k], hi[k]);
      gradient_at_q();
      for (std::size_t k = 0; k < d; ++k) m[k] = m[k] + eps * g[k];
    }
    // The last full momentum step overshot by half a step.
    for (std::size_t k = 0; k < d; ++k) m[k] = m[k] - half_eps * g[k];
    for (std::size_t k = 0; k < d; ++k) m[k] = -m[k];

    const double l = proposal_log_density(pdf_, std::span<const double>(q));
    if (!std::isfinite(l)) return;
    const double k1 = kinetic_energy(m);
    const double u = standard_uniform(rng);
    if (std::log(u) < (k0 - current_log_density_) - (k1 - l)) {
      std::swap(state_, q);
      current_log_density_ = l;
    }
  }

  [[nodiscard]] static double kinetic_energy(std::span<const double> m) {
    double sum = 0.0;
    for (const double v : m) sum += v * v;
    return 0.5 * sum;
  }

  P pdf_;
  HyperRect support_;
  HmcParams params_;
  std::vector<double> state_;
  Workspace work_;
  double current_log_density_ = -std::numeric_limits<double>::infinity();
  bool initialized_ = false;
};

}  // namespace varlix
