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
// Hamiltonian chains), the step size, the acceptance counters of the
// current phase, the metric (a lower-triangular factor L of the proposal
// covariance, identity at first; only its diagonal for a diagonal metric)
// and the saved warm-up (windowed_adaptation.hpp), which needs at most
// chain_adaptation_words(d) doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace varlix {

namespace chain_layout {
// A row that does not start with this tag and version was not made by
// ChainGroup::init for this layout.
inline constexpr double kTag = 1836084595.0;  // "mcms" read as a big-endian integer
inline constexpr double kVersion = 3.0;

enum Slot : std::size_t {
  kTagSlot,
  kVersionSlot,
  kDimSlot,
  kLogDensity,
  kStep,
  kAccepted,
  kSteps,
  kDivergent,
  kHeaderWords,
};
}  // namespace chain_layout

// The larger of the warm-up states of a diagonal metric (a header and
// running moments of draws and gradients) and a dense one (a header, the
// mean and the co-moments).
[[nodiscard]] constexpr std::size_t chain_adaptation_words(std::size_t dim) {
  const std::size_t header = 14;
  return header + (4 * dim > dim * dim + dim ? 4 * dim : dim * dim + dim);
}

[[nodiscard]] constexpr std::size_t chain_words(std::size_t dim) {
  return chain_layout::kHeaderWords + 2 * dim + dim * dim + chain_adaptation_words(dim);
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
  [[nodiscard]] std::span<double> adaptation() const {
    return w_.subspan(chain_layout::kHeaderWords + 2 * d_ + d_ * d_, chain_adaptation_words(d_));
  }

  [[nodiscard]] double& log_density() const { return w_[chain_layout::kLogDensity]; }
  [[nodiscard]] double& step() const { return w_[chain_layout::kStep]; }
  [[nodiscard]] double& accepted() const { return w_[chain_layout::kAccepted]; }
  [[nodiscard]] double& steps() const { return w_[chain_layout::kSteps]; }
  [[nodiscard]] double& divergent() const { return w_[chain_layout::kDivergent]; }

 private:
  std::span<double> w_;
  std::size_t d_;
};

}  // namespace varlix
