// The derivative of a density, for the tangents of transformed density
// rejection. `NumericalDpdf` is the finite-difference derivative used when the
// caller supplies none: central where both neighbours fit inside the support,
// one-sided near an end. Its step is relative to the support width, with a
// floor at sqrt(DBL_EPSILON), the usual balance between truncation and
// cancellation error for a first difference.
#pragma once

#include <cmath>
#include <concepts>
#include <limits>

#include "continuous/traits.hpp"

namespace varlix {

// The derivative of a density; NaN means that none is available at x.
template <class D>
concept Dpdf = requires(const D& d, double x) {
  { d.dpdf(x) } -> std::same_as<double>;
};

// Below this step the difference quotient is dominated by rounding: 2^-26,
// the square root of the double epsilon.
inline constexpr double kMinDpdfStep = 0x1.0p-26;

// P is held by value, so it should be a view (the sampler's PdfBridge) or a
// small adaptor; its support [lo, hi] is the derivative's.
template <class P>
  requires Pdf<P> && Supported<P>
class NumericalDpdf {
 public:
  NumericalDpdf(P pdf, double rel_step) : pdf_(pdf), rel_step_(rel_step) {}

  [[nodiscard]] double lo() const { return pdf_.lo(); }
  [[nodiscard]] double hi() const { return pdf_.hi(); }

  [[nodiscard]] double dpdf(double x) const {
    const double lo = pdf_.lo();
    const double hi = pdf_.hi();
    // fmax, not std::max: a NaN relative step falls back to the floor.
    const double h = std::fmax((hi - lo) * rel_step_, kMinDpdfStep);
    const bool left_fits = lo <= x - h;
    const bool right_fits = x + h <= hi;
    if (left_fits && right_fits) {
      const double ahead = pdf_.pdf(x + h);
      const double behind = pdf_.pdf(x - h);
      return quotient(ahead, behind, 2.0 * h);
    }
    if (left_fits) {
      const double here = pdf_.pdf(x);
      const double behind = pdf_.pdf(x - h);
      return quotient(here, behind, h);
    }
    if (right_fits) {
      const double ahead = pdf_.pdf(x + h);
      const double here = pdf_.pdf(x);
      return quotient(ahead, here, h);
    }
    // The support is narrower than 2h around x: no neighbour fits inside.
    return std::numeric_limits<double>::quiet_NaN();
  }

 private:
  [[nodiscard]] static double quotient(double upper, double lower, double width) {
    if (!std::isfinite(upper) || !std::isfinite(lower)) {
      return std::numeric_limits<double>::quiet_NaN();
    }
    return (upper - lower) / width;
  }

  P pdf_;
  double rel_step_;
};

}  // namespace varlix
