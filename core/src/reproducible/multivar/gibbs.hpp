// Systematic-scan Gibbs sampling over user-supplied full conditionals.
//
// Each sweep replaces coordinates 0, 1, ..., d-1 in place by draws from their
// full conditionals, so a call sees the coordinates updated earlier in the
// same sweep. The right tool when every full conditional can be sampled
// directly; all randomness comes from the conditional sampler, which may use
// the generator it is handed. Values are stored untested (NaN and points
// outside any box included).
// Reference: Geman & Geman (1984), "Stochastic relaxation, Gibbs
// distributions, and the Bayesian restoration of images".
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random.hpp"

namespace varlix {

// Draws coordinate i from its full conditional given the whole point x
// (x.size() == dim(); x[i] holds the value being replaced).
template <class C>
concept ConditionalSampler = requires(C& c, const C& cc, Rng& rng, std::size_t i, std::span<const double> x) {
  { cc.dim() } -> std::convertible_to<std::size_t>;
  { c.sample_coord(rng, i, x) } -> std::convertible_to<double>;
};

template <ConditionalSampler C>
class GibbsSamplerNd {
 public:
  // McmcFailed when init does not have conditional.dim() coordinates; init
  // is not checked otherwise and may lie outside the box.
  [[nodiscard]] static std::expected<GibbsSamplerNd, SampleError> build(C conditional,
                                                                        std::uint64_t sweeps_per_sample,
                                                                        std::vector<double> init) {
    if (init.size() != static_cast<std::size_t>(conditional.dim())) {
      return std::unexpected(SampleError::mcmc_failed());
    }
    return GibbsSamplerNd(std::move(conditional), sweeps_per_sample, std::move(init));
  }

  // sweeps_per_sample sweeps; the view of the state stays valid until the
  // next step. With 0 sweeps the conditional is not called.
  [[nodiscard]] std::span<const double> step_with_rng(Rng& rng) {
    for (std::uint64_t sweep = 0; sweep < sweeps_per_sample_; ++sweep) {
      for (std::size_t i = 0; i < state_.size(); ++i) {
        const double v = conditional_.sample_coord(rng, i, std::span<const double>(state_));
        state_[i] = v;
      }
    }
    return state_;
  }

  [[nodiscard]] std::span<const double> step() { return step_with_rng(thread_rng()); }

  // The sweeps, then a copy of the state (fails only for lack of memory).
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_with_rng(Rng& rng) {
    return copy_point(step_with_rng(rng));
  }

  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample() { return sample_with_rng(thread_rng()); }

  [[nodiscard]] std::size_t dim() const { return state_.size(); }
  [[nodiscard]] std::uint64_t sweeps_per_sample() const { return sweeps_per_sample_; }
  [[nodiscard]] std::span<const double> state() const { return state_; }
  [[nodiscard]] const C& conditional() const { return conditional_; }

 private:
  GibbsSamplerNd(C conditional, std::uint64_t sweeps_per_sample, std::vector<double> state)
      : conditional_(std::move(conditional)), sweeps_per_sample_(sweeps_per_sample), state_(std::move(state)) {}

  C conditional_;
  std::uint64_t sweeps_per_sample_;
  std::vector<double> state_;
};

}  // namespace varlix
