// Box support and the procedures shared by the multivariate samplers.
//
// Every density-driven sampler (rejection, Metropolis-Hastings, Hamiltonian
// Monte Carlo, the Monte-Carlo CDF) lives on a closed axis-aligned box and
// evaluates an unnormalised density of d coordinates. This file holds the box,
// the density interface the samplers are written against, and the procedures
// they share, each written once: the log-density convention, the uniform
// point in the box, the mirror reflection of a coordinate into the box, the
// initial-state search of the Markov chains, and the flat batch of points that
// the batch draws return.
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "error.hpp"
#include "memory.hpp"
#include "random.hpp"

namespace varlix {

// The closed box lo[i] <= x[i] <= hi[i]. Invariants, established by build():
// lo and hi are non-empty and of equal length d, every entry is finite and
// every side has positive width.
class HyperRect {
 public:
  // Tests in order, the first failure wins: an empty vector, unequal lengths,
  // then per index i = 0, 1, ...: a non-finite bound, else lo[i] >= hi[i].
  [[nodiscard]] static std::expected<HyperRect, BuildError> build(std::vector<double> lo,
                                                                  std::vector<double> hi);

  [[nodiscard]] const std::vector<double>& lo() const { return lo_; }
  [[nodiscard]] const std::vector<double>& hi() const { return hi_; }
  [[nodiscard]] std::size_t dim() const { return lo_.size(); }

  friend bool operator==(const HyperRect&, const HyperRect&) = default;

 private:
  HyperRect(std::vector<double> lo, std::vector<double> hi) : lo_(std::move(lo)), hi_(std::move(hi)) {}
  std::vector<double> lo_;
  std::vector<double> hi_;
};

// The samplers' own copy of a density's box, validated again. Copying goes
// through try_reserve so that no allocation failure escapes as an exception.
[[nodiscard]] std::expected<HyperRect, BuildError> copy_validated(const HyperRect& box);

// An unnormalised density of d coordinates on its box. pdf may return any
// double (NaN, infinities, negative values); each sampler says how it treats
// them. Samplers call pdf on a const object.
template <class P>
concept PdfNd = requires(const P& p, std::span<const double> x) {
  { p.pdf(x) } -> std::convertible_to<double>;
  { p.support() } -> std::convertible_to<const HyperRect&>;
};

// ln f when f > 0; zero, negative and NaN values are -inf; +inf stays +inf.
// A point is valid when its log-density is finite.
[[nodiscard]] inline double log_density(double value) {
  return value > 0.0 ? std::log(value) : -std::numeric_limits<double>::infinity();
}

template <PdfNd P>
[[nodiscard]] double log_density(const P& pdf, std::span<const double> x) {
  return log_density(static_cast<double>(pdf.pdf(x)));
}

[[nodiscard]] inline bool all_finite(std::span<const double> x) {
  for (const double v : x) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// Log-density of a point that may become a chain state. A coordinate that
// reflection could not bring into the box (an infinite or NaN one) makes the
// point invalid whatever the density says, so no state ever holds NaN or lies
// outside the box. The density is still called once, so that a step costs the
// same number of density calls whatever its proposal.
template <PdfNd P>
[[nodiscard]] double proposal_log_density(const P& pdf, std::span<const double> y) {
  const double l = log_density(pdf, y);
  return all_finite(y) ? l : -std::numeric_limits<double>::infinity();
}

// One StandardUniform draw per coordinate, coordinate 0 first:
// x[j] = u * (hi[j] - lo[j]) + lo[j]. Precondition: x.size() == box.dim().
inline void uniform_point(const HyperRect& box, Rng& rng, std::span<double> x) {
  const double* lo = box.lo().data();
  const double* hi = box.hi().data();
  for (std::size_t j = 0; j < x.size(); ++j) {
    const double u = standard_uniform(rng);
    x[j] = u * (hi[j] - lo[j]) + lo[j];
  }
}

// Mirror passes tried one by one before a coordinate counts as far away:
// about 2000 box widths. Up to there the result is the plain mirror chain,
// bit for bit; beyond, stepping would cost time proportional to the distance
// and stalls once the width is below the coordinate's rounding unit.
inline constexpr unsigned kMirrorPassLimit = 4096;

// The mirror image of a far, finite y, computed modulo the mirror period
// 2 * (hi - lo) instead of pass by pass; always in [lo, hi].
[[nodiscard]] double fold_far_coordinate(double y, double lo, double hi);

// Mirrors y into [lo, hi] (lo < hi, both finite): below lo it becomes
// lo + (lo - y), above hi it becomes hi - (y - hi), as often as needed; a value
// on a bound stays. An infinite y has no mirror image and a NaN is a failed
// value: both come back unchanged, and the caller treats them as invalid.
[[nodiscard]] inline double reflect(double y, double lo, double hi) {
  if (!std::isfinite(y)) [[unlikely]] return y;
  double z = y;
  for (unsigned pass = 0; pass < kMirrorPassLimit; ++pass) {
    if (z < lo) {
      z = lo + (lo - z);
    } else if (z > hi) {
      z = hi - (z - hi);
    } else {
      return z;
    }
  }
  // Passes that overflowed to +-inf also end here; the fold restarts from y.
  return fold_far_coordinate(y, lo, hi);
}

// Initial-state search of the Markov chains: up to max_trials uniform points
// in the box, each followed by one density call, until one has a finite
// log-density. On success `point` holds it and its log-density is returned;
// otherwise McmcFailed and `point` holds the last rejected attempt.
// Precondition: point.size() == box.dim().
template <PdfNd P>
[[nodiscard]] std::expected<double, SampleError> find_initial_state(const P& pdf, const HyperRect& box,
                                                                    std::uint64_t max_trials, Rng& rng,
                                                                    std::span<double> point) {
  for (std::uint64_t trial = 0; trial < max_trials; ++trial) {
    uniform_point(box, rng, point);
    const double l = log_density(pdf, point);
    if (std::isfinite(l)) return l;
  }
  return std::unexpected(SampleError::mcmc_failed());
}

// A vector of n zeros, or nothing when the machine cannot hold it.
[[nodiscard]] inline std::optional<std::vector<double>> try_zero_vector(std::size_t n) {
  std::vector<double> v;
  if (!try_resize(v, n)) return std::nullopt;
  return v;
}

// An owned copy of a point, as returned by the single-point draws.
[[nodiscard]] inline std::expected<std::vector<double>, SampleError> copy_point(std::span<const double> x) {
  std::vector<double> v;
  if (!try_reserve(v, x.size())) return std::unexpected(SampleError::out_of_memory());
  v.assign(x.begin(), x.end());
  return v;
}

// n points of d coordinates, stored row by row in one allocation made before
// the first draw, so that appending a point never allocates or throws.
class PointBatch {
 public:
  // OutOfMemory when count * dim doubles cannot be held.
  [[nodiscard]] static std::expected<PointBatch, SampleError> with_capacity(std::uint64_t count, std::size_t dim);

  // Precondition: point.size() == dim() and fewer than `count` points so far.
  void push_back(std::span<const double> point) {
    values_.insert(values_.end(), point.begin(), point.end());
    ++size_;
  }

  [[nodiscard]] std::size_t dim() const { return dim_; }
  [[nodiscard]] std::size_t size() const { return size_; }
  [[nodiscard]] std::span<const double> operator[](std::size_t i) const {
    return std::span<const double>(values_).subspan(i * dim_, dim_);
  }
  // All coordinates, point 0 first.
  [[nodiscard]] const std::vector<double>& values() const { return values_; }

 private:
  explicit PointBatch(std::size_t dim) : dim_(dim) {}
  std::vector<double> values_;
  std::size_t dim_;
  std::size_t size_ = 0;
};

}  // namespace varlix
