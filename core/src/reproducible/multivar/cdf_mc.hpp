// Monte-Carlo estimates of the normalising constant and the joint CDF of an
// unnormalised density on a box.
//
// Z = volume * mean of f over uniform points in the box; F(x) = volume of
// the box clipped at x * mean of f over uniform points in that clipped box,
// divided by Z. Z is estimated once and cached for every CDF evaluation. The
// right tool for a rough value in moderate dimension where quadrature is out
// of reach; the error shrinks like 1/sqrt(samples).
// Reference: Metropolis & Ulam (1949), "The Monte Carlo method".
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random.hpp"

namespace varlix {

template <PdfNd P>
class CdfMcEstimator {
 public:
  // Sample counts of 0 act as 1.
  [[nodiscard]] static std::expected<CdfMcEstimator, BuildError> build(P pdf, std::uint64_t normalization_samples,
                                                                       std::uint64_t cdf_samples) {
    auto support = copy_validated(pdf.support());
    if (!support) return std::unexpected(support.error());
    auto point = try_zero_vector(support->dim());
    auto upper = try_zero_vector(support->dim());
    if (!point || !upper) return std::unexpected(BuildError::out_of_memory());
    return CdfMcEstimator(std::move(pdf), std::move(*support), normalization_samples, cdf_samples,
                          std::move(*point), std::move(*upper));
  }

  // A fresh estimate of Z from N uniform points (N * d draws, N density
  // calls). Success replaces the cache; IntegrationFailed unless Z is finite
  // and positive, with the cache left as it was.
  [[nodiscard]] std::expected<double, SampleError> estimate_normalization_with_rng(Rng& rng) {
    const std::uint64_t n = std::max<std::uint64_t>(normalization_samples_, 1);
    double sum = 0.0;
    for (std::uint64_t k = 0; k < n; ++k) {
      uniform_point(support_, rng, point_);
      sum = add_density_value(sum, pdf_.pdf(std::span<const double>(point_)));
    }
    double volume = 1.0;
    for (std::size_t j = 0; j < dim(); ++j) volume *= support_.hi()[j] - support_.lo()[j];
    const double z = (sum / static_cast<double>(n)) * volume;
    if (!(std::isfinite(z) && z > 0.0)) return std::unexpected(SampleError::integration_failed());
    normalization_ = z;
    return z;
  }

  [[nodiscard]] std::expected<double, SampleError> estimate_normalization() {
    return estimate_normalization_with_rng(thread_rng());
  }

  // F(x) clamped to [0, 1] (NaN stays NaN). IntegrationFailed for a wrong
  // length of x, before any draw. Without a cached Z one is estimated first
  // from the same generator. Per point one draw for each coordinate whose
  // limit lies above lo, and one density call even when the clipped volume
  // is 0.
  [[nodiscard]] std::expected<double, SampleError> cdf_with_rng(Rng& rng, std::span<const double> x) {
    if (x.size() != dim()) return std::unexpected(SampleError::integration_failed());
    if (!normalization_) {
      if (auto z = estimate_normalization_with_rng(rng); !z) return z;
    }
    const double z = *normalization_;
    const double* lo = support_.lo().data();
    const double* hi = support_.hi().data();
    // A NaN limit fails the comparison and falls back to hi.
    for (std::size_t j = 0; j < dim(); ++j) upper_[j] = x[j] <= hi[j] ? x[j] : hi[j];

    const std::uint64_t m = std::max<std::uint64_t>(cdf_samples_, 1);
    double sum = 0.0;
    for (std::uint64_t k = 0; k < m; ++k) {
      for (std::size_t j = 0; j < dim(); ++j) {
        if (lo[j] >= upper_[j]) {
          point_[j] = lo[j];
        } else {
          const double u = standard_uniform(rng);
          point_[j] = (upper_[j] - lo[j]) * u + lo[j];
        }
      }
      sum = add_density_value(sum, pdf_.pdf(std::span<const double>(point_)));
    }
    double volume = 1.0;
    for (std::size_t j = 0; j < dim(); ++j) volume *= std::max(upper_[j] - lo[j], 0.0);
    return std::clamp(((sum / static_cast<double>(m)) * volume) / z, 0.0, 1.0);
  }

  [[nodiscard]] std::expected<double, SampleError> cdf(std::span<const double> x) {
    return cdf_with_rng(thread_rng(), x);
  }

  // Z of the last successful estimate, if any.
  [[nodiscard]] std::optional<double> cached_normalization() const { return normalization_; }
  [[nodiscard]] std::size_t dim() const { return support_.dim(); }
  [[nodiscard]] const HyperRect& support() const { return support_; }
  [[nodiscard]] const P& pdf() const { return pdf_; }
  [[nodiscard]] std::uint64_t normalization_samples() const { return normalization_samples_; }
  [[nodiscard]] std::uint64_t cdf_samples() const { return cdf_samples_; }

 private:
  CdfMcEstimator(P pdf, HyperRect support, std::uint64_t normalization_samples, std::uint64_t cdf_samples,
                 std::vector<double> point, std::vector<double> upper)
      : pdf_(std::move(pdf)),
        support_(std::move(support)),
        normalization_samples_(normalization_samples),
        cdf_samples_(cdf_samples),
        point_(std::move(point)),
        upper_(std::move(upper)) {}

  // Zero (either sign) and positive finite values count; NaN, infinite and
  // negative ones are skipped but still count among the samples.
  [[nodiscard]] static double add_density_value(double sum, double v) {
    return v >= 0.0 && std::isfinite(v) ? sum + v : sum;
  }

  std::optional<double> normalization_;
  P pdf_;
  HyperRect support_;
  std::uint64_t normalization_samples_;
  std::uint64_t cdf_samples_;
  std::vector<double> point_;  // work vector: the current sample point
  std::vector<double> upper_;  // work vector: the per-coordinate upper limits
};

}  // namespace varlix
