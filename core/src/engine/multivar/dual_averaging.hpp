// Step-size adaptation by dual averaging.
//
// Tunes the log step size of a Markov chain so that the average acceptance
// statistic approaches a target: the running mean H of (target - alpha) is a
// noisy gradient, and the iterates log eps_m = mu - sqrt(m) / gamma * H_m are
// shrunk toward mu; their weighted average log eps_bar (weights m^-kappa)
// converges and is the step size used once adaptation is over. The right tool
// for any sampler whose acceptance rate falls as the step grows (random-walk
// Metropolis, Hamiltonian Monte Carlo); it needs only the acceptance
// statistic of each step.
// Reference: Nesterov (2009), "Primal-dual subgradient methods for convex
// problems"; Hoffman & Gelman (2014), "The No-U-Turn Sampler", section 3.2.1
// and Algorithm 5 (the constants below are theirs).
#pragma once

#include <algorithm>
#include <cmath>

namespace varlix {

struct DualAveraging {
  // Shrinkage of the iterates toward mu.
  static constexpr double kGamma = 0.05;
  // Damps the first iterations, whose statistics rest on a few steps.
  static constexpr double kT0 = 10.0;
  // Decay of the averaging weights: later iterates count more.
  static constexpr double kKappa = 0.75;
  // mu = log(10 eps0): large steps cost the same and are tried first.
  static constexpr double kMuFactor = 10.0;
  // Decay of the stochastic-approximation gain: between 1/2 and 1, so that
  // the iterates converge and their average is efficient (Polyak & Juditsky 1992).
  static constexpr double kRefineDecay = 0.6;
  // Bound on |log eps|: a run of rejections must not drive the step to 0
  // or to a size that overflows a proposal.
  static constexpr double kMaxLogStep = 25.0;

  double mu = 0.0;
  double h_bar = 0.0;
  double log_eps_bar = 0.0;
  double count = 0.0;  // iterations so far (an integer kept as a double)

  // A fresh adaptation around the step size eps0 (> 0).
  [[nodiscard]] static DualAveraging start(double eps0) { return {std::log(kMuFactor * eps0), 0.0, 0.0, 0.0}; }

  // A fresh adaptation centred on eps itself, for a restart from a step
  // size already adapted.
  [[nodiscard]] static DualAveraging restart(double eps) { return {std::log(eps), 0.0, 0.0, 0.0}; }

  // Takes the acceptance statistic alpha in [0, 1] of one step and returns
  // the step size for the next one.
  [[nodiscard]] double update(double alpha, double target) {
    count += 1.0;
    const double w = 1.0 / (count + kT0);
    h_bar = (1.0 - w) * h_bar + w * (target - alpha);
    const double log_eps = std::clamp(mu - std::sqrt(count) / kGamma * h_bar, -kMaxLogStep, kMaxLogStep);
    const double weight = std::pow(count, -kKappa);
    log_eps_bar = weight * log_eps + (1.0 - weight) * log_eps_bar;
    return std::exp(log_eps);
  }

  // Robbins & Monro (1951) stochastic approximation from the step eps:
  // log eps moves by (alpha - target) / (count + kT0)^kRefineDecay, so the
  // iterates themselves converge; their average is kept as by update().
  [[nodiscard]] double refine(double eps, double alpha, double target) {
    count += 1.0;
    const double gain = std::pow(count + kT0, -kRefineDecay);
    const double log_eps = std::clamp(std::log(eps) + gain * (alpha - target), -kMaxLogStep, kMaxLogStep);
    const double weight = std::pow(count, -kKappa);
    log_eps_bar = weight * log_eps + (1.0 - weight) * log_eps_bar;
    return std::exp(log_eps);
  }

  // The averaged step size, the one to keep after adaptation.
  [[nodiscard]] double averaged_step() const { return std::exp(log_eps_bar); }
};

}  // namespace varlix
