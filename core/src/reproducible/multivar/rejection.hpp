// Rejection sampling of an unnormalised density on a box.
//
// Proposals are uniform in the box and accepted when f(x) >= u * pdf_max. The
// points are independent exact draws provided f never exceeds the envelope
// constant pdf_max (a larger value is not detected: it is simply accepted).
// The right tool for low dimensions and densities that fill their box; the
// cost per point grows with the ratio of pdf_max * volume to the mass.
// Reference: von Neumann (1951), "Various techniques used in connection with
// random digits".
#pragma once

#include <cmath>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random.hpp"

namespace varlix {

template <PdfNd P>
class RejectionSamplerNd {
 public:
  // InvalidPdfMax unless pdf_max is finite and > 0, then the box errors.
  [[nodiscard]] static std::expected<RejectionSamplerNd, BuildError> build(P pdf, std::uint64_t max_trials,
                                                                           double pdf_max) {
    if (!(std::isfinite(pdf_max) && pdf_max > 0.0)) return std::unexpected(BuildError::invalid_pdf_max());
    auto support = copy_validated(pdf.support());
    if (!support) return std::unexpected(support.error());
    return RejectionSamplerNd(std::move(pdf), std::move(*support), max_trials, pdf_max);
  }

  [[nodiscard]] std::size_t dim() const { return support_.dim(); }
  [[nodiscard]] double pdf_max() const { return pdf_max_; }
  [[nodiscard]] std::uint64_t max_trials() const { return max_trials_; }
  [[nodiscard]] const HyperRect& support() const { return support_; }
  [[nodiscard]] const P& pdf() const { return pdf_; }

  // One point, or RejectionFailed after max_trials rejected proposals.
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_with_rng(Rng& rng) const {
    auto x = try_zero_vector(dim());
    if (!x) return std::unexpected(SampleError::out_of_memory());
    if (auto accepted = draw_into(rng, *x); !accepted) return std::unexpected(accepted.error());
    return std::move(*x);
  }

  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample() const {
    return sample_with_rng(thread_rng());
  }

  // n points drawn in order from one generator; the first failure ends the
  // batch. The first k points do not depend on n.
  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n_with_rng(std::uint64_t n, Rng& rng) const {
    auto batch = PointBatch::with_capacity(n, dim());
    if (!batch) return batch;
    auto x = try_zero_vector(dim());
    if (!x) return std::unexpected(SampleError::out_of_memory());
    for (std::uint64_t k = 0; k < n; ++k) {
      if (auto accepted = draw_into(rng, *x); !accepted) return std::unexpected(accepted.error());
      batch->push_back(*x);
    }
    return batch;
  }

  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n(std::uint64_t n) const {
    return sample_n_with_rng(n, thread_rng());
  }

 private:
  RejectionSamplerNd(P pdf, HyperRect support, std::uint64_t max_trials, double pdf_max)
      : pdf_(std::move(pdf)), support_(std::move(support)), max_trials_(max_trials), pdf_max_(pdf_max) {}

  // Each trial costs d uniform draws and one density call, plus the
  // acceptance draw only for a finite, non-negative density value.
  [[nodiscard]] std::expected<void, SampleError> draw_into(Rng& rng, std::span<double> x) const {
    for (std::uint64_t trial = 0; trial < max_trials_; ++trial) {
      uniform_point(support_, rng, x);
      const double v = pdf_.pdf(std::span<const double>(x));
      if (!std::isfinite(v) || v < 0.0) continue;
      const double u = standard_uniform(rng);
      if (v >= u * pdf_max_) return {};
    }
    return std::unexpected(SampleError::rejection_failed());
  }

  P pdf_;
  HyperRect support_;
  std::uint64_t max_trials_;
  double pdf_max_;
};

}  // namespace varlix
