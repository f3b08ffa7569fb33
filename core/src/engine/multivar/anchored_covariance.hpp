// A dense metric for a random walk that starts from a good covariance (a
// Laplace approximation) and is refined by the draws of its warm-up windows
// without being undone by them.
//
// A random walk's draws are about 3d steps apart (Roberts, Gelman & Gilks
// 1997: its efficiency at the optimal scale is about 0.33 / d), so a window
// of a few hundred steps in 30 coordinates holds a handful of independent
// draws: replacing the metric by their covariance, even with shrunk
// correlations, throws away a starting covariance worth far more. Each
// window's covariance is instead averaged with the current one, the current
// one counting as d independent draws, that is 3 d^2 steps (a dense
// covariance estimate needs about d draws to be of full rank); so the
// windows move the metric only as far as their draws can tell.
#pragma once

#include <cmath>
#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "memory.hpp"
#include "multivar/chain_fault.hpp"
#include "multivar/cholesky.hpp"
#include "multivar/windowed_adaptation.hpp"

namespace varlix {

// Steps of a random walk per independent draw, per coordinate.
inline constexpr double kRandomWalkStepsPerDraw = 3.0;

// The weight of the current covariance, in steps, for d coordinates.
[[nodiscard]] inline double anchor_steps(std::size_t dim) {
  const double d = static_cast<double>(dim);
  return kRandomWalkStepsPerDraw * d * d;
}

// The draws of a window as DenseEstimator gathers them; the estimate pulled
// toward the current factor's covariance. O(d^2) memory.
class AnchoredDenseEstimator {
 public:
  [[nodiscard]] static std::expected<AnchoredDenseEstimator, ChainFault> make(std::size_t dim) {
    auto draws = DenseEstimator::make(dim);
    if (!draws) return std::unexpected(draws.error());
    AnchoredDenseEstimator e(std::move(*draws), dim);
    if (!try_resize(e.work_, dim * dim)) return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    return e;
  }

  [[nodiscard]] static std::size_t metric_size(std::size_t dim) { return DenseEstimator::metric_size(dim); }
  [[nodiscard]] static std::size_t state_size(std::size_t dim) { return DenseEstimator::state_size(dim); }
  [[nodiscard]] double count() const { return draws_.count(); }
  void save(std::span<double> out) const { draws_.save(out); }
  void restore(std::span<const double> in) { draws_.restore(in); }
  void add(std::span<const double> x, std::span<const double> g) { draws_.add(x, g); }
  void clear() { draws_.clear(); }

  // Replaces the factor L by that of (w S + (1 - w) L L^T), S the window's
  // covariance and w = n / (n + anchor_steps(d)); kept when fewer than two
  // draws, or when the result is not numerically positive definite.
  void update(std::span<double> factor) {
    const double n = draws_.count();
    if (n >= 2.0) blend_into(factor, n);
    draws_.clear();
  }

 private:
  AnchoredDenseEstimator(DenseEstimator draws, std::size_t dim) : draws_(std::move(draws)), d_(dim) {}

  void blend_into(std::span<double> factor, double n) {
    const std::size_t d = d_;
    const double w = n / (n + anchor_steps(d));
    const std::span<const double> comoments = draws_.comoments();
    for (std::size_t i = 0; i < d; ++i) {
      for (std::size_t j = 0; j <= i; ++j) {
        double current = 0.0;  // (L L^T)_ij
        for (std::size_t k = 0; k <= j; ++k) current += factor[i * d + k] * factor[j * d + k];
        work_[i * d + j] = w * comoments[i * d + j] / (n - 1.0) + (1.0 - w) * current;
      }
    }
    if (cholesky_in_place(work_, d)) std::copy(work_.begin(), work_.end(), factor.begin());
  }

  DenseEstimator draws_;
  std::size_t d_ = 0;
  std::vector<double> work_;
};

}  // namespace varlix
