// Random-walk Metropolis-Hastings on a box, with step-size adaptation.
//
// Every coordinate moves by an independent Gaussian step and is mirrored
// back into the box; mirroring keeps the proposal symmetric, so the test is
// the plain density ratio. During the first adapt_steps steps after init the
// proposal scale follows the running acceptance rate toward target_accept on
// the log scale, with a gain decaying like 1/sqrt(steps). The right tool for
// densities known only pointwise in moderate dimension when exact rejection
// is too wasteful; successive points are correlated.
// References: Metropolis et al. (1953); Hastings (1970); for the adaptation,
// Andrieu & Thoms (2008), "A tutorial on adaptive MCMC".
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

// The member defaults are the Python factory's; none is validated.
struct MetropolisHastingsParams {
  double step_size = 0.25;
  std::uint64_t burn_in = 1000;
  std::uint64_t thin = 1;  // 0 acts as 1
  double target_accept = 0.25;
  std::uint64_t adapt_steps = 2000;  // 0 disables adaptation
  double step_min = 1e-4;
  double step_max = 10.0;
  std::uint64_t init_max_trials = 100000;
};

template <PdfNd P>
class MetropolisHastingsNd {
 public:
  [[nodiscard]] static std::expected<MetropolisHastingsNd, BuildError> build(P pdf,
                                                                             MetropolisHastingsParams params) {
    auto support = copy_validated(pdf.support());
    if (!support) return std::unexpected(support.error());
    auto state = try_zero_vector(support->dim());
    auto proposal = try_zero_vector(support->dim());
    if (!state || !proposal) return std::unexpected(BuildError::out_of_memory());
    return MetropolisHastingsNd(std::move(pdf), std::move(*support), params, std::move(*state),
                                std::move(*proposal));
  }

  // Starts the chain at a uniform point with a finite log-density and resets
  // the counters (and with them the adaptation window); the step size is
  // kept. On failure (McmcFailed) nothing changes.
  [[nodiscard]] std::expected<void, SampleError> init() { return init_with_rng(thread_rng()); }

  // init with a given generator, for reproducible chains in tests.
  [[nodiscard]] std::expected<void, SampleError> init_with_rng(Rng& rng) {
    auto l = find_initial_state(pdf_, support_, params_.init_max_trials, rng, proposal_);
    if (!l) return std::unexpected(l.error());
    std::swap(state_, proposal_);
    current_log_density_ = *l;
    initialized_ = true;
    steps_ = 0;
    accepted_ = 0;
    return {};
  }

  // One step; the view of the state stays valid until the next call that
  // moves the chain.
  [[nodiscard]] std::expected<std::span<const double>, SampleError> step_with_rng(Rng& rng) {
    if (!initialized_) return std::unexpected(SampleError::mcmc_not_initialized());
    advance(rng);
    return std::span<const double>(state_);
  }

  [[nodiscard]] std::expected<std::span<const double>, SampleError> step() { return step_with_rng(thread_rng()); }

  // One step with the thread's generator, returning a copy of the state.
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample() {
    auto x = step();
    if (!x) return std::unexpected(x.error());
    return copy_point(*x);
  }

  // burn_in discarded steps (at every call, also for n = 0), then n points,
  // each taken after max(thin, 1) steps; all from one generator.
  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n_with_rng(std::uint64_t n, Rng& rng) {
    if (!initialized_) return std::unexpected(SampleError::mcmc_not_initialized());
    auto batch = PointBatch::with_capacity(n, dim());
    if (!batch) return batch;
    for (std::uint64_t s = 0; s < params_.burn_in; ++s) advance(rng);
    const std::uint64_t thin = std::max<std::uint64_t>(params_.thin, 1);
    for (std::uint64_t k = 0; k < n; ++k) {
      for (std::uint64_t s = 0; s < thin; ++s) advance(rng);
      batch->push_back(state_);
    }
    return batch;
  }

  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n(std::uint64_t n) {
    return sample_n_with_rng(n, thread_rng());
  }

  // accepted / steps since the last init, 0.0 before the first step.
  [[nodiscard]] double accept_rate() const {
    if (steps_ == 0) return 0.0;
    return static_cast<double>(accepted_) / static_cast<double>(steps_);
  }

  [[nodiscard]] std::size_t dim() const { return support_.dim(); }
  [[nodiscard]] const HyperRect& support() const { return support_; }
  [[nodiscard]] const P& pdf() const { return pdf_; }
  [[nodiscard]] const MetropolisHastingsParams& params() const { return params_; }
  [[nodiscard]] double step_size() const { return params_.step_size; }
  [[nodiscard]] bool initialized() const { return initialized_; }
  // The state; meaningful only once initialized().
  [[nodiscard]] std::span<const double> state() const { return state_; }
  [[nodiscard]] double current_log_density() const { return current_log_density_; }
  [[nodiscard]] std::uint64_t steps() const { return steps_; }
  [[nodiscard]] std::uint64_t accepted() const { return accepted_; }

 private:
  // Bound on the per-step change of ln(step_size), so that one lucky or
  // unlucky stretch cannot move the scale by more than e^0.2 per step.
  static constexpr double kMaxLogStepChange = 0.2;
  // Offset in the adaptation gain 1 / sqrt(kGainOffset + steps): damps the
  // first steps, whose acceptance rate rests on a handful of proposals.
  static constexpr double kGainOffset = 10.0;

  MetropolisHastingsNd(P pdf, HyperRect support, MetropolisHastingsParams params, std::vector<double> state,
                       std::vector<double> proposal)
      : pdf_(std::move(pdf)),
        support_(std::move(support)),
        params_(params),
        state_(std::move(state)),
        proposal_(std::move(proposal)) {}

  // Precondition: initialized_. 2d uniform draws for the proposal, one
  // density call, and one acceptance draw only for a finite log-density.
  void advance(Rng& rng) {
    ++steps_;
    const double* lo = support_.lo().data();
    const double* hi = support_.hi().data();
    for (std::size_t i = 0; i < state_.size(); ++i) {
      const double z = standard_normal(rng);
      proposal_[i] = reflect(state_[i] + params_.step_size * z, lo[i], hi[i]);
    }
    const double l = proposal_log_density(pdf_, proposal_);
    if (!std::isfinite(l)) return;
    const double u = standard_uniform(rng);
    if (std::log(u) < l - current_log_density_) {
      std::swap(state_, proposal_);
      current_log_density_ = l;
      ++accepted_;
    }
    if (params_.adapt_steps != 0 && steps_ <= params_.adapt_steps) adapt();
  }

  // std::clamp would be undefined for step_min > step_max, which nothing
  // forbids; max then min keeps a NaN step size NaN.
  void adapt() {
    const double steps = static_cast<double>(steps_);
    const double rate = static_cast<double>(accepted_) / steps;
    const double delta = std::clamp(rate - params_.target_accept, -kMaxLogStepChange, kMaxLogStepChange);
    const double next = std::exp(std::log(params_.step_size) + delta / std::sqrt(kGainOffset + steps));
    params_.step_size = std::min(std::max(next, params_.step_min), params_.step_max);
  }

  P pdf_;
  HyperRect support_;
  MetropolisHastingsParams params_;
  std::vector<double> state_;
  std::vector<double> proposal_;
  double current_log_density_ = -std::numeric_limits<double>::infinity();
  std::uint64_t steps_ = 0;
  std::uint64_t accepted_ = 0;
  bool initialized_ = false;
};

}  // namespace varlix
