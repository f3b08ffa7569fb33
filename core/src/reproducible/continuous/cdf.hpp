// CDF models on a finite support [lo, hi] and the density adaptors through
// which user functions enter them.
//
// - IntegratedPdf<P>: the CDF of a density, a fresh integration from lo for
//   every value, divided by the mass on [lo, hi].
// - AffineCdf<C>: a user CDF rescaled to read 0 at lo and 1 at hi.
// Nothing is cached, and no model clamps its CDF to [0, 1].
#pragma once

#include <cmath>
#include <expected>
#include <utility>

#include "continuous/integrate.hpp"
#include "continuous/traits.hpp"
#include "error.hpp"

namespace varlix {

// The support checks every model makes, in this order.
[[nodiscard]] inline std::expected<void, BuildError> check_support(double lo, double hi) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) {
    return std::unexpected(BuildError::non_finite("support bounds"));
  }
  if (!(lo < hi)) {
    return std::unexpected(BuildError::invalid_support("lo must be strictly less than hi"));
  }
  return {};
}

// A normalizer (norm, span, mass) must be finite and strictly positive; a
// positive subnormal passes, and a NaN from a failing user function does not.
[[nodiscard]] inline std::expected<void, BuildError> check_normalizer(double value) {
  if (!(std::isfinite(value) && value > 0.0)) {
    return std::unexpected(BuildError::normalization_failed());
  }
  return {};
}

// The user's density f, answered everywhere: the models only integrate it
// inside [lo, hi], but a query outside gets the user's own value.
template <class F>
class PlainPdf {
 public:
  PlainPdf(F f, double lo, double hi) : f_(std::move(f)), lo_(lo), hi_(hi) {}

  [[nodiscard]] double pdf(double x) const { return f_(x); }
  [[nodiscard]] double lo() const { return lo_; }
  [[nodiscard]] double hi() const { return hi_; }

 private:
  F f_;
  double lo_;
  double hi_;
};

// f(z) / scale with z = (x - loc) / scale inside the standard support
// [lo, hi], 0 outside; its own support is [lo * scale + loc, hi * scale + loc].
template <class F>
class LocScalePdf {
 public:
  // Checks in order: scale, the standard support, the mapped support.
  [[nodiscard]] static std::expected<LocScalePdf, BuildError> build(F f, double lo, double hi, double loc,
                                                                    double scale) {
    if (!(std::isfinite(scale) && scale > 0.0)) {
      return std::unexpected(BuildError::invalid_scale());
    }
    if (auto valid = check_support(lo, hi); !valid) {
      return std::unexpected(valid.error());
    }
    const double t0 = lo * scale + loc;
    const double t1 = hi * scale + loc;
    if (auto valid = check_support(t0, t1); !valid) {
      return std::unexpected(valid.error());
    }
    return LocScalePdf(std::move(f), lo, hi, loc, scale, t0, t1);
  }

  [[nodiscard]] double pdf(double x) const {
    const double z = (x - loc_) / scale_;
    if (!(std_lo_ <= z && z <= std_hi_)) {
      return 0.0;
    }
    return f_(z) / scale_;
  }
  [[nodiscard]] double lo() const { return lo_; }
  [[nodiscard]] double hi() const { return hi_; }
  [[nodiscard]] double loc() const { return loc_; }
  [[nodiscard]] double scale() const { return scale_; }

 private:
  LocScalePdf(F f, double std_lo, double std_hi, double loc, double scale, double lo, double hi)
      : f_(std::move(f)), std_lo_(std_lo), std_hi_(std_hi), loc_(loc), scale_(scale), lo_(lo), hi_(hi) {}

  F f_;
  double std_lo_;
  double std_hi_;
  double loc_;
  double scale_;
  double lo_;
  double hi_;
};

// The CDF of the density P on [lo, hi]: integral from lo divided by the
// integral over [lo, hi], each CDF value its own integration at tolerance tol.
template <Pdf P>
class IntegratedPdf {
 public:
  [[nodiscard]] static std::expected<IntegratedPdf, BuildError> build(P pdf, double lo, double hi, double tol) {
    if (auto valid = check_support(lo, hi); !valid) {
      return std::unexpected(valid.error());
    }
    const double norm = integrate_fn(pdf_fn(pdf), lo, hi, tol);
    if (auto valid = check_normalizer(norm); !valid) {
      return std::unexpected(valid.error());
    }
    return IntegratedPdf(std::move(pdf), lo, hi, norm, tol);
  }

  // Exactly 0 and 1 at and beyond the bounds, without integrating.
  [[nodiscard]] double cdf(double x) const {
    if (x <= lo_) {
      return 0.0;
    }
    if (x >= hi_) {
      return 1.0;
    }
    return integrate_fn(pdf_fn(pdf_), lo_, x, tol_) / norm_;
  }

  [[nodiscard]] const P& pdf() const { return pdf_; }
  [[nodiscard]] double lo() const { return lo_; }
  [[nodiscard]] double hi() const { return hi_; }
  [[nodiscard]] double norm() const { return norm_; }
  [[nodiscard]] double tol() const { return tol_; }

 private:
  IntegratedPdf(P pdf, double lo, double hi, double norm, double tol)
      : pdf_(std::move(pdf)), lo_(lo), hi_(hi), norm_(norm), tol_(tol) {}

  P pdf_;
  double lo_;
  double hi_;
  double norm_;
  double tol_;
};

// (C(x) - C(lo)) / (C(hi) - C(lo)) for every x, inside the support or not.
template <class C>
class AffineCdf {
 public:
  [[nodiscard]] static std::expected<AffineCdf, BuildError> build(C user_cdf, double lo, double hi) {
    if (auto valid = check_support(lo, hi); !valid) {
      return std::unexpected(valid.error());
    }
    const double offset = user_cdf(lo);
    const double span = user_cdf(hi) - offset;
    if (auto valid = check_normalizer(span); !valid) {
      return std::unexpected(valid.error());
    }
    return AffineCdf(std::move(user_cdf), lo, hi, offset, span);
  }

  [[nodiscard]] double cdf(double x) const { return (cdf_(x) - offset_) / span_; }
  [[nodiscard]] double lo() const { return lo_; }
  [[nodiscard]] double hi() const { return hi_; }
  [[nodiscard]] double offset() const { return offset_; }
  [[nodiscard]] double span() const { return span_; }

 private:
  AffineCdf(C user_cdf, double lo, double hi, double offset, double span)
      : cdf_(std::move(user_cdf)), lo_(lo), hi_(hi), offset_(offset), span_(span) {}

  C cdf_;
  double lo_;
  double hi_;
  double offset_;
  double span_;
};

}  // namespace varlix
