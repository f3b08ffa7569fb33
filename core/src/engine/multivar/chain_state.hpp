// The state of one Markov chain of the varlix package, as a flat run of
// doubles.
//
// A chain is advanced in pieces (so that an interrupt is honoured between
// them, and tuning and drawing are separate calls), and its state lives
// between the pieces in memory the caller owns: a row of
// chain_words(d, dense) doubles. ChainView reads and writes that row in
// place. Counters are kept as doubles; they stay exact up to 2^53 steps.
//
// The row holds the position and its log-density (and gradient, for
// Hamiltonian chains), the step size, the acceptance counters of the
// current phase, the metric and the saved warm-up of that metric
// (windowed_adaptation.hpp). The metric is a lower-triangular factor L of
// the proposal covariance when dense, and only L's diagonal (a scale per
// coordinate) when diagonal; identity at first. So a diagonal chain's row is
// O(d) doubles and only a dense one's is O(d^2): at d = 10^4 a dense row
// would take 1.5 GiB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "multivar/windowed_adaptation.hpp"

namespace varlix {

namespace chain_layout {
// A row that does not start with this tag, version and metric kind was not
// made by ChainGroup::init for this layout.
inline constexpr double kTag = 1836084595.0;  // "mcms" read as a big-endian integer
inline constexpr double kVersion = 4.0;
inline constexpr double kDiagonalMetric = 0.0;
inline constexpr double kDenseMetric = 1.0;

enum Slot : std::size_t {
  kTagSlot,
  kVersionSlot,
  kDimSlot,
  kMetricSlot,
  kLogDensity,
  kStep,
  kAccepted,
  kSteps,
  kDivergent,
  kHeaderWords,
};
}  // namespace chain_layout

[[nodiscard]] inline std::size_t chain_metric_words(std::size_t dim, bool dense) {
  return dense ? DenseEstimator::metric_size(dim) : DiagonalEstimator::metric_size(dim);
}

[[nodiscard]] inline std::size_t chain_adaptation_words(std::size_t dim, bool dense) {
  return dense ? WindowedAdaptation<DenseEstimator>::state_size(dim)
               : WindowedAdaptation<DiagonalEstimator>::state_size(dim);
}

[[nodiscard]] inline std::size_t chain_words(std::size_t dim, bool dense) {
  return chain_layout::kHeaderWords + 2 * dim + chain_metric_words(dim, dense) + chain_adaptation_words(dim, dense);
}

class ChainView {
 public:
  // Precondition: words.size() == chain_words(dim, dense).
  ChainView(std::span<double> words, std::size_t dim, bool dense) : w_(words), d_(dim), dense_(dense) {}

  // True when the row carries the tag, version, dimension and metric kind
  // of this layout.
  [[nodiscard]] bool is_valid() const {
    using namespace chain_layout;
    return w_.size() == chain_words(d_, dense_) && w_[kTagSlot] == kTag && w_[kVersionSlot] == kVersion &&
           w_[kDimSlot] == static_cast<double>(d_) && w_[kMetricSlot] == metric_kind();
  }
  void stamp() const {
    using namespace chain_layout;
    w_[kTagSlot] = kTag;
    w_[kVersionSlot] = kVersion;
    w_[kDimSlot] = static_cast<double>(d_);
    w_[kMetricSlot] = metric_kind();
  }

  [[nodiscard]] std::size_t dim() const { return d_; }
  [[nodiscard]] bool dense() const { return dense_; }
  [[nodiscard]] std::span<double> x() const { return part(chain_layout::kHeaderWords, d_); }
  [[nodiscard]] std::span<double> grad() const { return part(chain_layout::kHeaderWords + d_, d_); }
  // Dense: L row-major d x d, lower triangle used. Diagonal: L's diagonal.
  [[nodiscard]] std::span<double> metric() const {
    return part(chain_layout::kHeaderWords + 2 * d_, chain_metric_words(d_, dense_));
  }
  [[nodiscard]] std::span<double> adaptation() const {
    return part(chain_layout::kHeaderWords + 2 * d_ + chain_metric_words(d_, dense_),
                chain_adaptation_words(d_, dense_));
  }

  [[nodiscard]] double& log_density() const { return w_[chain_layout::kLogDensity]; }
  [[nodiscard]] double& step() const { return w_[chain_layout::kStep]; }
  [[nodiscard]] double& accepted() const { return w_[chain_layout::kAccepted]; }
  [[nodiscard]] double& steps() const { return w_[chain_layout::kSteps]; }
  [[nodiscard]] double& divergent() const { return w_[chain_layout::kDivergent]; }

 private:
  // Not w_.subspan(offset, count): for a count it cannot bound, GCC 12
  // follows subspan's branch for count == dynamic_extent and warns of a
  // copy of "negative" size (-Wstringop-overflow) wherever a part is copied.
  [[nodiscard]] std::span<double> part(std::size_t offset, std::size_t count) const {
    return {w_.data() + offset, count};
  }
  [[nodiscard]] double metric_kind() const {
    return dense_ ? chain_layout::kDenseMetric : chain_layout::kDiagonalMetric;
  }

  std::span<double> w_;
  std::size_t d_;
  bool dense_;
};

}  // namespace varlix
