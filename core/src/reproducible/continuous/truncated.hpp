// A density restricted to a sub-interval [a, b] of its support and divided by
// its mass there. The truncated distribution integrates it once more through
// an IntegratedPdf, so the second normalizer is close to 1.
#pragma once

#include <expected>
#include <utility>

#include "continuous/cdf.hpp"
#include "continuous/integrate.hpp"
#include "continuous/traits.hpp"
#include "error.hpp"

namespace varlix {

template <class P>
  requires Pdf<P> && Supported<P>
class Truncated {
 public:
  [[nodiscard]] static std::expected<Truncated, BuildError> build(P base, double a, double b, double tol) {
    if (auto valid = check_support(a, b); !valid) {
      return std::unexpected(valid.error());
    }
    if (auto valid = check_support(base.lo(), base.hi()); !valid) {
      return std::unexpected(valid.error());
    }
    if (!(a >= base.lo() && b <= base.hi())) {
      return std::unexpected(BuildError::truncation_outside_support());
    }
    const double mass = integrate_fn(pdf_fn(base), a, b, tol);
    if (auto valid = check_normalizer(mass); !valid) {
      return std::unexpected(valid.error());
    }
    return Truncated(std::move(base), a, b, mass, tol);
  }

  // Both ends included.
  [[nodiscard]] double pdf(double x) const {
    if (!(a_ <= x && x <= b_)) {
      return 0.0;
    }
    return base_.pdf(x) / mass_;
  }
  [[nodiscard]] double lo() const { return a_; }
  [[nodiscard]] double hi() const { return b_; }
  [[nodiscard]] double mass() const { return mass_; }
  [[nodiscard]] double tol() const { return tol_; }
  [[nodiscard]] const P& base() const { return base_; }

 private:
  Truncated(P base, double a, double b, double mass, double tol)
      : base_(std::move(base)), a_(a), b_(b), mass_(mass), tol_(tol) {}

  P base_;
  double a_;
  double b_;
  double mass_;
  double tol_;
};

}  // namespace varlix
