// A finite discrete distribution over caller-given points and masses.
//
// The masses are normalized once into a cumulative table; quantiles are a
// binary search in it and a draw is the quantile of one StandardUniform
// (inversion). The table is the only state: point masses are differences of
// neighbouring entries, and the last entry is forced to exactly 1 so that the
// last point absorbs the rounding of the running sum.
//
// Points are kept as given: not sorted, not de-duplicated, not validated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "batch.hpp"
#include "error.hpp"
#include "random.hpp"

namespace varlix {

class DiscreteSampler {
 public:
  // Takes both arrays; the masses' storage becomes the cumulative table.
  [[nodiscard]] static std::expected<DiscreteSampler, BuildError> from_pmf(std::vector<double> points,
                                                                          std::vector<double> pmf);

  // The point at the first cumulative entry above u, or at the last entry equal to u.
  [[nodiscard]] std::expected<double, SampleError> ppf(double u) const;

  [[nodiscard]] std::expected<double, SampleError> sample() const;
  [[nodiscard]] std::expected<double, SampleError> sample_with_rng(Rng& rng) const;
  // n draws in order from one generator; the first failure replaces the batch.
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_n(std::uint64_t n) const;
  // n draws in order from `rng`; `stop` is asked between blocks of draws
  // (see batch.hpp).
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_n_with_rng(
      std::uint64_t n, Rng& rng, StopRequested stop = nullptr) const;

  [[nodiscard]] std::size_t size() const { return points_.size(); }
  [[nodiscard]] std::span<const double> points() const { return points_; }
  [[nodiscard]] std::span<const double> cumulative() const { return cumulative_; }

  // Normalized mass of the first point within 1e-12 of x; 0 when none is.
  [[nodiscard]] double pmf(double x) const;
  // Absent when index is not below size().
  [[nodiscard]] std::optional<double> pmf_at(std::size_t index) const;
  [[nodiscard]] std::optional<double> cdf_at(std::size_t index) const;

  [[nodiscard]] double mean() const;
  // Population variance about mean().
  [[nodiscard]] double var() const;
  [[nodiscard]] double std() const;

 private:
  DiscreteSampler(std::vector<double> points, std::vector<double> cumulative)
      : points_(std::move(points)), cumulative_(std::move(cumulative)) {}

  [[nodiscard]] double mass(std::size_t index) const {
    return index == 0 ? cumulative_[0] : cumulative_[index] - cumulative_[index - 1];
  }

  std::vector<double> points_;
  std::vector<double> cumulative_;
};

}  // namespace varlix
