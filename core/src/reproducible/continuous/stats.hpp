// Statistics of a univariate continuous distribution: density, CDF, survival
// function and their logarithms, quantile-based summaries, and the moments,
// entropy and expectations computed by adaptive quadrature of the normalized
// density over the support.
//
// Each operation is one function template over any ContinuousSampler; whether
// the model has a density (an IntegratedPdf) or not (an AffineCdf) is the only
// distinction. Nothing is cached: every call integrates or inverts afresh.
// A holder of a ContinuousModel (continuous/model.hpp) dispatches with
// std::visit:
//   std::visit([](const auto& s) { return stats::mean(s); }, model)
#pragma once

#include <cmath>
#include <expected>
#include <limits>
#include <optional>
#include <utility>

#include "continuous/cdf.hpp"
#include "continuous/integrate.hpp"
#include "continuous/invert.hpp"
#include "continuous/pdf_bridge.hpp"
#include "continuous/sampler.hpp"
#include "error.hpp"

namespace varlix {

namespace stats {

// Moments, entropy and expectations use this absolute tolerance whatever the
// build options say: they are summaries, not the CDF the options tune.
inline constexpr double kStatsTolerance = 1e-10;

// The normalized density; absent for a model without one. A plain user
// density answers outside its support too.
template <class D>
[[nodiscard]] std::optional<double> pdf(const ContinuousSampler<D>& s, double x) {
  if constexpr (DensityModel<D>) {
    return PdfBridge<D>(s.model()).pdf(x);
  } else {
    return std::nullopt;
  }
}

// Absent also where the density is not positive (0, negative or NaN).
template <class D>
[[nodiscard]] std::optional<double> logpdf(const ContinuousSampler<D>& s, double x) {
  const auto p = pdf(s, x);
  if (!p || !(*p > 0.0)) {
    return std::nullopt;
  }
  return std::log(*p);
}

// Unclamped. A NaN argument gives NaN without integrating up to a NaN bound;
// a user CDF is asked for every x, NaN included.
template <class D>
[[nodiscard]] double cdf(const ContinuousSampler<D>& s, double x) {
  if constexpr (DensityModel<D>) {
    if (std::isnan(x)) {
      return std::numeric_limits<double>::quiet_NaN();
    }
  }
  return s.model().cdf(x);
}

// 1 - cdf, or 0 where that is not positive (a NaN or above-one CDF).
template <class D>
[[nodiscard]] double sf(const ContinuousSampler<D>& s, double x) {
  const double survival = 1.0 - cdf(s, x);
  return survival > 0.0 ? survival : 0.0;
}

template <class D>
[[nodiscard]] double logcdf(const ContinuousSampler<D>& s, double x) {
  const double y = clamp_to_support(cdf(s, x), 0.0, 1.0);
  return y <= 0.0 ? -std::numeric_limits<double>::infinity() : std::log(y);
}

// The plain logarithm of 1 - cdf: no log1p, by design of the interface.
template <class D>
[[nodiscard]] double logsf(const ContinuousSampler<D>& s, double x) {
  const double y = clamp_to_support(cdf(s, x), 0.0, 1.0);
  return y >= 1.0 ? -std::numeric_limits<double>::infinity() : std::log(1.0 - y);
}

// A range failure reports 1 - q, the quantile actually requested.
template <class D>
[[nodiscard]] std::expected<double, SampleError> isf(const ContinuousSampler<D>& s, double q) {
  return s.ppf(1.0 - q);
}

template <class D>
[[nodiscard]] std::expected<double, SampleError> median(const ContinuousSampler<D>& s) {
  return s.ppf(0.5);
}

// The central interval holding `confidence` of the probability.
template <class D>
[[nodiscard]] std::expected<std::pair<double, double>, SampleError> interval(const ContinuousSampler<D>& s,
                                                                             double confidence) {
  if (!(confidence > 0.0 && confidence < 1.0)) {
    return std::unexpected(SampleError::confidence_out_of_range(confidence));
  }
  const double a = (1.0 - confidence) * 0.5;
  const auto lower = s.ppf(a);
  if (!lower) {
    return std::unexpected(lower.error());
  }
  const auto upper = s.ppf(1.0 - a);
  if (!upper) {
    return std::unexpected(upper.error());
  }
  return std::pair{*lower, *upper};
}

// The integral of p(x) * g(x) over the support, the density evaluated before
// g at each node; it must be finite. Needs a density.
template <class D, class G>
[[nodiscard]] std::expected<double, SampleError> expect(const ContinuousSampler<D>& s, const G& g) {
  if constexpr (DensityModel<D>) {
    const PdfBridge<D> density(s.model());
    const double value = integrate_fn(
        [&](double x) {
          const double p = density.pdf(x);
          return p * g(x);
        },
        s.lo(), s.hi(), kStatsTolerance);
    if (!std::isfinite(value)) {
      return std::unexpected(SampleError::integration_failed());
    }
    return value;
  } else {
    return std::unexpected(SampleError::pdf_required());
  }
}

template <class D>
[[nodiscard]] std::expected<double, SampleError> mean(const ContinuousSampler<D>& s) {
  return expect(s, [](double x) { return x; });
}

// Negative values, possible for a density that is negative somewhere or by
// quadrature error, are reported as 0.
template <class D>
[[nodiscard]] std::expected<double, SampleError> var(const ContinuousSampler<D>& s) {
  const auto m1 = mean(s);
  if (!m1) {
    return m1;
  }
  const auto m2 = expect(s, [](double x) { return x * x; });
  if (!m2) {
    return m2;
  }
  const double v = *m2 - *m1 * *m1;
  return v > 0.0 ? v : 0.0;
}

template <class D>
[[nodiscard]] std::expected<double, SampleError> std(const ContinuousSampler<D>& s) {
  const auto v = var(s);
  if (!v) {
    return v;
  }
  return std::sqrt(*v);
}

// Differential entropy; points where the density is not positive contribute
// nothing, so a model without a density has entropy 0.
template <class D>
[[nodiscard]] std::expected<double, SampleError> entropy(const ContinuousSampler<D>& s) {
  if constexpr (DensityModel<D>) {
    const PdfBridge<D> density(s.model());
    const double h = integrate_fn(
        [&](double x) {
          const double p = density.pdf(x);
          return p > 0.0 ? -p * std::log(p) : 0.0;
        },
        s.lo(), s.hi(), kStatsTolerance);
    if (!std::isfinite(h)) {
      return std::unexpected(SampleError::integration_failed());
    }
    return h;
  } else {
    return 0.0;
  }
}

}  // namespace stats
}  // namespace varlix
