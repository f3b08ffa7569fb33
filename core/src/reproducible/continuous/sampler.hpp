// The univariate continuous sampler: a CDF model on a finite support joined
// with one sampling backend, chosen once from the build options.
//  - Inversion: each draw is the quantile of one uniform, by bisection on the
//    CDF (with a Newton polish when the model has a density), or by a
//    precomputed Hermite inverse-CDF table when a grid size is given.
//  - Tdr: transformed density rejection from a hat built at construction;
//    needs a density. Quantiles still come from inversion.
// All expensive work (normalizer, table, hat) happens in the builders; the
// sampler is immutable afterwards and a draw allocates nothing.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "continuous/cdf.hpp"
#include "continuous/dpdf.hpp"
#include "continuous/hermite.hpp"
#include "continuous/histogram.hpp"
#include "continuous/invert.hpp"
#include "continuous/pdf_bridge.hpp"
#include "continuous/tdr.hpp"
#include "continuous/traits.hpp"
#include "error.hpp"
#include "batch.hpp"
#include "random.hpp"

namespace varlix {

struct SamplingMethod {
  struct Inversion {
    std::optional<std::uint64_t> grid_size;  // Hermite table nodes; none: invert every quantile
  };
  struct Tdr {
    std::uint64_t construction_points = 30;
    std::uint64_t max_trials = 100000;
    double dpdf_rel_step = 1e-4;
    TdrTransform transform = TdrTransform::Log;
  };

  SamplingMethod() = default;
  SamplingMethod(Inversion method) : kind(method) {}
  SamplingMethod(Tdr method) : kind(method) {}

  std::variant<Inversion, Tdr> kind;
};

struct SamplerOptions {
  SamplingMethod method;
  double quad_tolerance = 1e-10;
  double ppf_tolerance = 1e-12;
  std::uint32_t max_iterations = 128;
  bool use_newton = true;
};

struct SamplingBackend {
  struct Inversion {
    std::optional<HermitePpfTable> table;
    double ppf_tolerance;
    std::uint32_t max_iterations;
    bool use_newton;
  };
  struct Tdr {
    TdrHat hat;
  };

  std::variant<Inversion, Tdr> kind;
};

// The TDR settings carry no inversion parameters, so quantiles of a TDR
// sampler use the default ones, whatever the build options said.
inline constexpr std::uint32_t kTdrPpfIterations = 128;
inline constexpr double kTdrPpfTolerance = 1e-12;

template <class D>
  requires Cdf<D> && Supported<D>
class ContinuousSampler {
 public:
  ContinuousSampler(SamplingBackend backend, D model) : backend_(std::move(backend)), model_(std::move(model)) {}

  [[nodiscard]] const D& model() const { return model_; }
  [[nodiscard]] const SamplingBackend& backend() const { return backend_; }
  [[nodiscard]] double lo() const { return model_.lo(); }
  [[nodiscard]] double hi() const { return model_.hi(); }

  [[nodiscard]] bool uses_tdr() const { return std::holds_alternative<SamplingBackend::Tdr>(backend_.kind); }
  [[nodiscard]] bool uses_hermite_table() const {
    const auto* inversion = std::get_if<SamplingBackend::Inversion>(&backend_.kind);
    return inversion != nullptr && inversion->table.has_value();
  }

  [[nodiscard]] std::expected<double, SampleError> ppf(double u) const {
    if (!(u > 0.0 && u < 1.0)) {
      return std::unexpected(SampleError::quantile_out_of_range(u));
    }
    if (const auto* inversion = std::get_if<SamplingBackend::Inversion>(&backend_.kind)) {
      if (inversion->table) {
        return inversion->table->eval(u);
      }
      return invert(u, inversion->max_iterations, inversion->ppf_tolerance, inversion->use_newton);
    }
    return invert(u, kTdrPpfIterations, kTdrPpfTolerance, true);
  }

  // A draw from the calling thread's generator.
  [[nodiscard]] std::expected<double, SampleError> sample() const { return sample_with_rng(thread_rng()); }

  [[nodiscard]] std::expected<double, SampleError> sample_with_rng(Rng& rng) const {
    if (const auto* tdr = std::get_if<SamplingBackend::Tdr>(&backend_.kind)) {
      if constexpr (DensityModel<D>) {
        return tdr->hat.sample_with_rng(PdfBridge<D>(model_), rng);
      } else {
        return std::unexpected(SampleError::pdf_required());
      }
    }
    // A uniform of exactly 0 fails the quantile's range check.
    return ppf(standard_uniform(rng));
  }

  // n draws in order from the calling thread's generator, taken once.
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_n(std::uint64_t n) const {
    return sample_n_with_rng(n, thread_rng());
  }

  // n draws in order from `rng`: all of them, or the first failure. The k-th
  // value does not depend on n. `stop` is asked between blocks of draws (see
  // batch.hpp).
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_n_with_rng(
      std::uint64_t n, Rng& rng, StopRequested stop = nullptr) const {
    return collect_draws(n, [&] { return sample_with_rng(rng); }, stop);
  }

 private:
  // The quantile by numerical inversion; the Newton polish needs a density.
  [[nodiscard]] std::expected<double, SampleError> invert(double u, std::uint32_t max_iterations, double tol,
                                                          bool use_newton) const {
    if constexpr (DensityModel<D>) {
      if (use_newton) {
        return ppf_with_pdf(model_, PdfBridge<D>(model_), max_iterations, model_.lo(), model_.hi(), u, tol);
      }
    }
    return varlix::ppf(model_, max_iterations, model_.lo(), model_.hi(), u, tol);
  }

  SamplingBackend backend_;
  D model_;
};

// A caller's derivative presented on the scale of the normalized density: its
// value divided by the model's normalizer. A view of `dpdf`.
template <class Dp>
  requires Pdf<Dp> && Supported<Dp>
class NormalizedDpdf {
 public:
  NormalizedDpdf(const Dp& dpdf, double norm) : dpdf_(&dpdf), norm_(norm) {}

  [[nodiscard]] double dpdf(double x) const { return dpdf_->pdf(x) / norm_; }
  [[nodiscard]] double lo() const { return dpdf_->lo(); }
  [[nodiscard]] double hi() const { return dpdf_->hi(); }

 private:
  const Dp* dpdf_;
  double norm_;
};

namespace detail {

template <class D>
[[nodiscard]] std::expected<SamplingBackend, BuildError> inversion_backend(const D& model,
                                                                           const SamplingMethod::Inversion& method,
                                                                           const SamplerOptions& opts) {
  SamplingBackend::Inversion backend{std::nullopt, opts.ppf_tolerance, opts.max_iterations, opts.use_newton};
  if (method.grid_size) {
    auto table = HermitePpfTable::build(model, *method.grid_size, opts.max_iterations, model.lo(), model.hi(),
                                        opts.ppf_tolerance);
    if (!table) {
      return std::unexpected(table.error());
    }
    backend.table = std::move(*table);
  }
  return SamplingBackend{std::move(backend)};
}

template <DensityModel D, class Derivative>
[[nodiscard]] std::expected<SamplingBackend, BuildError> tdr_backend(const D& model, const Derivative& dpdf,
                                                                     const SamplingMethod::Tdr& method) {
  const TdrOptions tdr{.support = {model.lo(), model.hi()},
                       .construction_points = method.construction_points,
                       .max_trials = method.max_trials,
                       .transform = method.transform};
  auto hat = TdrHat::try_build(PdfBridge<D>(model), dpdf, tdr);
  if (!hat) {
    return std::unexpected(hat.error());
  }
  return SamplingBackend{SamplingBackend::Tdr{std::move(*hat)}};
}

// The steps shared by the density builders; `derivative` makes the TDR
// derivative from the normalized model and is only called for TDR.
template <class P, class MakeDerivative>
[[nodiscard]] std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> from_density(
    P pdf, const SamplerOptions& opts, const MakeDerivative& derivative) {
  const double lo = pdf.lo();
  const double hi = pdf.hi();
  auto model = IntegratedPdf<P>::build(std::move(pdf), lo, hi, opts.quad_tolerance);
  if (!model) {
    return std::unexpected(model.error());
  }
  const auto* tdr = std::get_if<SamplingMethod::Tdr>(&opts.method.kind);
  auto backend = tdr ? tdr_backend(*model, derivative(*model, *tdr), *tdr)
                     : inversion_backend(*model, *std::get_if<SamplingMethod::Inversion>(&opts.method.kind), opts);
  if (!backend) {
    return std::unexpected(backend.error());
  }
  return ContinuousSampler<IntegratedPdf<P>>(std::move(*backend), std::move(*model));
}

}  // namespace detail

// A sampler of the density P on P's own support. TDR uses the numerical
// derivative of the normalized density.
template <class P>
  requires Pdf<P> && Supported<P>
[[nodiscard]] std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> from_pdf(P pdf,
                                                                                      const SamplerOptions& opts) {
  return detail::from_density(std::move(pdf), opts, [](const IntegratedPdf<P>& model, const SamplingMethod::Tdr& m) {
    return NumericalDpdf<PdfBridge<IntegratedPdf<P>>>(PdfBridge<IntegratedPdf<P>>(model), m.dpdf_rel_step);
  });
}

// As from_pdf, with the caller's derivative `dpdf` (an adaptor of the same
// kind as the density, on its own support) for TDR. Inversion never calls it.
template <class P, class Dp>
  requires Pdf<P> && Supported<P> && Pdf<Dp> && Supported<Dp>
[[nodiscard]] std::expected<ContinuousSampler<IntegratedPdf<P>>, BuildError> from_pdf_with_dpdf(
    P pdf, Dp dpdf, const SamplerOptions& opts) {
  return detail::from_density(std::move(pdf), opts, [&dpdf](const IntegratedPdf<P>& model, const SamplingMethod::Tdr&) {
    return NormalizedDpdf<Dp>(dpdf, model.norm());
  });
}

// A sampler of the user CDF `cdf` (a callable double -> double) rescaled to
// [lo, hi]. TDR needs a density and is refused.
template <class C>
  requires std::regular_invocable<const C&, double>
[[nodiscard]] std::expected<ContinuousSampler<AffineCdf<C>>, BuildError> from_cdf(C cdf, double lo, double hi,
                                                                                  const SamplerOptions& opts) {
  auto model = AffineCdf<C>::build(std::move(cdf), lo, hi);
  if (!model) {
    return std::unexpected(model.error());
  }
  const auto* inversion = std::get_if<SamplingMethod::Inversion>(&opts.method.kind);
  if (inversion == nullptr) {
    return std::unexpected(BuildError::invalid_support("TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)"));
  }
  auto backend = detail::inversion_backend(*model, *inversion, opts);
  if (!backend) {
    return std::unexpected(backend.error());
  }
  return ContinuousSampler<AffineCdf<C>>(std::move(*backend), std::move(*model));
}

// The histogram density (validated by HistogramPdf::build), sampled exactly as
// a user density is.
[[nodiscard]] std::expected<ContinuousSampler<IntegratedPdf<HistogramPdf>>, BuildError> from_histogram(
    std::vector<double> edges, std::vector<double> counts, bool density, const SamplerOptions& opts);

}  // namespace varlix
