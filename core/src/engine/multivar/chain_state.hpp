// The state of one Markov chain of the varlix package, as a flat run of
// doubles.
//
// A chain is advanced in pieces (so that an interrupt is honoured between
// them, and tuning and drawing are separate calls), and its state lives
// between the pieces in memory the caller owns: a row of chain_words(d)
// doubles. ChainView reads and writes that row in place. Counters are kept
// as doubles; they stay exact up to 2^53 steps.
//
// The row holds the position and its log-density (and gradient, for
// Hamiltonian chains), the step size, the dual-averaging state, the tuning
// progress with the metric-adaptation window, the acceptance counters of the
// current phase, and the metric: a lower-triangular factor L of the
// proposal covariance (identity at first), with the running mean,
// co-moments and lag-1 products it is estimated from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "multivar/dual_averaging.hpp"

namespace varlix {

namespace chain_layout {
// A row that does not start with this tag and version was not made by
// init_chain for this layout.
inline constexpr double kTag = 1836084595.0;  // "mcms" read as a big-endian integer
inline constexpr double kVersion = 2.0;

enum Slot : std::size_t {
  kTagSlot,
  kVersionSlot,
  kDimSlot,
  kLogDensity,
  kStep,
  kDaMu,
  kDaHBar,
  kDaLogEpsBar,
  kDaCount,
  kTuneDone,
  kAccepted,
  kSteps,
  kDivergent,
  kWelfordCount,
  kWindowEnd,
  kWindowSize,
  kHeaderWords,
};
}  // namespace chain_layout

[[nodiscard]] constexpr std::size_t chain_words(std::size_t dim) {
  return chain_layout::kHeaderWords + 5 * dim + 2 * dim * dim;
}

class ChainView {
 public:
  // Precondition: words.size() == chain_words(dim).
  ChainView(std::span<double> words, std::size_t dim) : w_(words), d_(dim) {}

  // True when the row carries the tag, version and dimension of this layout.
  [[nodiscard]] bool is_valid() const {
    using namespace chain_layout;
    return w_.size() == chain_words(d_) && w_[kTagSlot] == kTag && w_[kVersionSlot] == kVersion &&
           w_[kDimSlot] == static_cast<double>(d_);
  }
  void stamp() const {
    using namespace chain_layout;
    w_[kTagSlot] = kTag;
    w_[kVersionSlot] = kVersion;
    w_[kDimSlot] = static_cast<double>(d_);
  }

  [[nodiscard]] std::size_t dim() const { return d_; }
  [[nodiscard]] std::span<double> x() const { return w_.subspan(chain_layout::kHeaderWords, d_); }
  [[nodiscard]] std::span<double> grad() const { return w_.subspan(chain_layout::kHeaderWords + d_, d_); }
  // Row-major d x d, lower triangle used.
  [[nodiscard]] std::span<double> factor() const { return w_.subspan(chain_layout::kHeaderWords + 2 * d_, d_ * d_); }
  [[nodiscard]] std::span<double> mean() const {
    return w_.subspan(chain_layout::kHeaderWords + 2 * d_ + d_ * d_, d_);
  }
  [[nodiscard]] std::span<double> comoments() const {
    return w_.subspan(chain_layout::kHeaderWords + 3 * d_ + d_ * d_, d_ * d_);
  }
  // Sums of x_t[i] * x_{t-1}[i] over the window, and the last position
  // accumulated: the lag-1 autocorrelation the metric's trust rests on.
  [[nodiscard]] std::span<double> lag_products() const {
    return w_.subspan(chain_layout::kHeaderWords + 3 * d_ + 2 * d_ * d_, d_);
  }
  [[nodiscard]] std::span<double> previous() const {
    return w_.subspan(chain_layout::kHeaderWords + 4 * d_ + 2 * d_ * d_, d_);
  }

  [[nodiscard]] double& log_density() const { return w_[chain_layout::kLogDensity]; }
  [[nodiscard]] double& step() const { return w_[chain_layout::kStep]; }
  [[nodiscard]] double& tune_done() const { return w_[chain_layout::kTuneDone]; }
  [[nodiscard]] double& accepted() const { return w_[chain_layout::kAccepted]; }
  [[nodiscard]] double& steps() const { return w_[chain_layout::kSteps]; }
  [[nodiscard]] double& divergent() const { return w_[chain_layout::kDivergent]; }
  [[nodiscard]] double& welford_count() const { return w_[chain_layout::kWelfordCount]; }
  [[nodiscard]] double& window_end() const { return w_[chain_layout::kWindowEnd]; }
  [[nodiscard]] double& window_size() const { return w_[chain_layout::kWindowSize]; }

  [[nodiscard]] DualAveraging dual_averaging() const {
    using namespace chain_layout;
    return {w_[kDaMu], w_[kDaHBar], w_[kDaLogEpsBar], w_[kDaCount]};
  }
  void set_dual_averaging(const DualAveraging& da) const {
    using namespace chain_layout;
    w_[kDaMu] = da.mu;
    w_[kDaHBar] = da.h_bar;
    w_[kDaLogEpsBar] = da.log_eps_bar;
    w_[kDaCount] = da.count;
  }

 private:
  std::span<double> w_;
  std::size_t d_;
};

}  // namespace varlix
