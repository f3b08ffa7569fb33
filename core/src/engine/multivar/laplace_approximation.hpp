// The Laplace approximation of a log-density: its mode, and the inverse of
// the negated Hessian there (the covariance of the Gaussian that matches
// the log-density's curvature at the mode), as a lower Cholesky factor.
//
// A random walk needs a proposal shaped like its target, and cannot learn a
// dense covariance in d coordinates from its own draws in a short warm-up:
// its draws are about 3d steps apart (Roberts, Gelman & Gilks 1997). The
// Laplace approximation gives that shape from O(d^2) evaluations of the
// log-density alone: damped Newton iterations (Nocedal & Wright 2006,
// "Numerical Optimization": Algorithm 3.1, backtracking under the Armijo
// condition; section 3.4, a multiple of the diagonal added to an indefinite
// Hessian until its Cholesky factorisation succeeds, Marquardt's scaling),
// with gradient and Hessian by finite differences (section 8.1), all the
// difference points of an iteration evaluated in one batch.
//
// It is an approximation to start from, not a result: any sign that it
// cannot be trusted (a non-finite value beside an iterate, a Hessian that is
// not negative definite at the end, no ascent, too many iterations, too many
// coordinates for d^2 evaluations, a mode far narrower than the target) is
// returned as a failure, and the caller goes on without it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "memory.hpp"
#include "multivar/cholesky.hpp"
#include "multivar/log_density.hpp"

namespace varlix {

struct LaplaceApproximation {
  std::vector<double> mode;
  std::vector<double> factor;  // row-major d x d, lower triangular: L L^T = (-Hessian)^-1
  std::uint64_t evaluations = 0;
};

struct LaplaceFailure {
  enum class Kind : std::uint8_t {
    TooManyCoordinates,  // d beyond kMaxLaplaceDim
    NotFinite,           // a start or a difference point had a value that is not finite
    Indefinite,          // the Hessian at the last iterate is not negative definite
    NoProgress,          // no ascent along the Newton direction, or no convergence
    Narrow,              // the mode is far narrower than the target, in scale or against the starts
    OutOfMemory,
  };
  Kind kind;
  std::uint64_t evaluations = 0;
};

// A Hessian costs 1 + 2d + d(d - 1)/2 evaluations: 5,151 at d = 100, about
// what default chains spend in all (4 chains of 2,000 steps), and it grows
// as d^2; beyond this the approximation costs more than the run it serves.
inline constexpr std::size_t kMaxLaplaceDim = 100;

namespace laplace_detail {

// The half-width of the differences, as a fraction of the coordinate's
// scale (its sd under the last Hessian): the second differences then change
// the log-density by 1e-4, well above its rounding for any value below
// 1e8, while the truncation error stays at 1e-4 of the curvature.
inline constexpr double kScaleFraction = 1e-2;
// Newton iterations allowed; from a start in the bulk a few suffice.
inline constexpr int kMaxIterations = 30;
// Converged when the Newton decrement g^T A^-1 g (twice the predicted gain
// to the mode) falls below this: the iterate is within 0.01 sd of the mode
// (in the metric of A), so its Hessian hardly differs from the mode's.
inline constexpr double kDecrementTolerance = 1e-4;
// The Armijo condition's fraction of the predicted ascent (Nocedal & Wright
// suggest 1e-4), and the step lengths 1, 1/2, ..., 2^-(kTrials - 1) tried in
// one batch.
inline constexpr double kArmijo = 1e-4;
inline constexpr int kTrials = 12;
// A start at Mahalanobis distance D > 1 from the mode (under the
// approximation) lies D^2 / 2 below it on a Gaussian, and some multiple of
// D below it wherever the log-density falls off at least linearly (a
// regression's tails: 2 to 100 D on the posteriors we checked, 0.5 D on a
// hierarchical model's t tails). A start less than kMinFalloff D below
// says that the target widens away from the mode far more than the mode's
// curvature shows, as Neal's funnel does, whose mode is at the bottom of
// its neck (there starts at D = 1e9 lie 90 nats below): the curvature would
// shrink the walk to the neck.
inline constexpr double kMinFalloff = 0.05;
// A metric whose scales span more than this (the largest marginal sd over
// the smallest conditional one) moves its narrowest direction a millionth
// as far as its widest: if the mode misjudges that direction, a warm-up
// cannot recover it. The funnel's mode spans 2e9 (its neck against its
// prior) even seen from a start on its axis, where the test above cannot
// tell; the posteriors we checked span at most 600, the 100-D Gaussian with
// scales from 0.01 to 100 spans 1e4.
inline constexpr double kMaxScaleRange = 1e6;
// The shift tau D added to an indefinite Hessian starts at this multiple of
// its diagonal and grows tenfold, up to kMaxShift.
inline constexpr double kFirstShift = 1e-3;
inline constexpr double kMaxShift = 1e8;

// A half-width exactly representable around x: (x + h) - x == h.
[[nodiscard]] inline double representable(double x, double h) { return (x + h) - x; }

}  // namespace laplace_detail

template <LogDensityNd L>
class LaplaceSolver {
 public:
  LaplaceSolver(const L& f, std::size_t dim) : f_(&f), d_(dim) {}

  // Newton from the best of the rows of `starts` (k x d).
  [[nodiscard]] std::expected<LaplaceApproximation, LaplaceFailure> solve(std::span<const double> starts) {
    using Kind = LaplaceFailure::Kind;
    const std::size_t d = d_;
    if (d > kMaxLaplaceDim) return fail(Kind::TooManyCoordinates);
    if (!allocate(starts.size() / d)) return fail(Kind::OutOfMemory);
    const std::size_t best = best_start(starts);
    if (best == starts.size()) return fail(Kind::NotFinite);
    starts_ = starts;
    std::copy_n(values_.begin(), starts.size() / d, start_values_.begin());
    std::copy_n(starts.begin() + static_cast<std::ptrdiff_t>(best * d), d, x_.begin());
    for (std::size_t i = 0; i < d; ++i) scale_[i] = std::max(1.0, std::fabs(x_[i]));
    for (int iteration = 0; iteration < laplace_detail::kMaxIterations; ++iteration) {
      if (!differences()) return fail(Kind::NotFinite);
      const bool shifted = factor_shifted();
      if (!factor_ok_) return fail(Kind::Indefinite);
      solve_newton();
      double decrement = 0.0;
      for (std::size_t i = 0; i < d; ++i) decrement += g_[i] * p_[i];
      // A stationary point where the Hessian needed a shift is no maximum.
      if (decrement <= laplace_detail::kDecrementTolerance) {
        return shifted ? fail(Kind::Indefinite) : approximation();
      }
      if (!ascend(decrement)) return fail(shifted ? Kind::Indefinite : Kind::NoProgress);
      // The next differences are scaled by the curvature just measured.
      for (std::size_t i = 0; i < d; ++i) {
        if (a_[i * d + i] > 0.0) scale_[i] = 1.0 / std::sqrt(a_[i * d + i]);
      }
    }
    return fail(Kind::NoProgress);
  }

 private:
  [[nodiscard]] std::unexpected<LaplaceFailure> fail(LaplaceFailure::Kind kind) const {
    return std::unexpected(LaplaceFailure{kind, evaluations_});
  }

  [[nodiscard]] std::size_t stencil_size() const { return 1 + 2 * d_ + d_ * (d_ - 1) / 2; }

  [[nodiscard]] bool allocate(std::size_t starts) {
    const std::size_t d = d_;
    const std::size_t points = std::max({stencil_size(), static_cast<std::size_t>(laplace_detail::kTrials), starts});
    return try_resize(points_, points * d) && try_resize(values_, points) && try_resize(x_, d) &&
           try_resize(g_, d) && try_resize(p_, d) && try_resize(h_, d) && try_resize(scale_, d) &&
           try_resize(a_, d * d) && try_resize(r_, d * d) && try_resize(start_values_, starts);
  }

  void evaluate(std::size_t n) {
    evaluate_log_density(*f_, std::span<const double>(points_).first(n * d_), d_, std::span(values_).first(n));
    evaluations_ += n;
  }

  // The row of `starts` with the largest finite log-density (starts.size()
  // when none is finite).
  [[nodiscard]] std::size_t best_start(std::span<const double> starts) {
    const std::size_t k = starts.size() / d_;
    std::copy(starts.begin(), starts.end(), points_.begin());
    evaluate(k);
    std::size_t best = starts.size();
    for (std::size_t c = 0; c < k; ++c) {
      if (std::isfinite(values_[c]) && (best == starts.size() || values_[c] > values_[best])) best = c;
    }
    if (best != starts.size()) f0_ = values_[best];
    return best;
  }

  std::span<double> point(std::size_t k) { return std::span<double>(points_).subspan(k * d_, d_); }

  // The gradient into g_ and the negated Hessian into a_, from the values
  // at x, x +- h_i e_i and x + h_i e_i + h_j e_j (i < j), in one batch: the
  // diagonal and the gradient by central differences, the rest by forward
  // ones. False when a value there is not finite.
  [[nodiscard]] bool differences() {
    const std::size_t d = d_;
    for (std::size_t i = 0; i < d; ++i) {
      h_[i] = laplace_detail::representable(x_[i], laplace_detail::kScaleFraction * scale_[i]);
    }
    std::size_t k = 0;
    const auto place = [&](std::size_t i, double hi, std::size_t j, double hj) {
      const std::span<double> p = point(k++);
      std::copy(x_.begin(), x_.end(), p.begin());
      if (i < d) p[i] += hi;
      if (j < d) p[j] += hj;
    };
    place(d, 0.0, d, 0.0);
    for (std::size_t i = 0; i < d; ++i) {
      place(i, h_[i], d, 0.0);
      place(i, -h_[i], d, 0.0);
    }
    for (std::size_t i = 0; i < d; ++i) {
      for (std::size_t j = i + 1; j < d; ++j) place(i, h_[i], j, h_[j]);
    }
    evaluate(k);
    for (std::size_t n = 0; n < k; ++n) {
      if (!std::isfinite(values_[n])) return false;
    }
    const double f0 = values_[0];
    f0_ = f0;
    const auto up = [&](std::size_t i) { return values_[1 + 2 * i]; };
    const auto down = [&](std::size_t i) { return values_[2 + 2 * i]; };
    std::size_t cross = 1 + 2 * d;
    for (std::size_t i = 0; i < d; ++i) {
      g_[i] = (up(i) - down(i)) / (2.0 * h_[i]);
      a_[i * d + i] = -(up(i) - 2.0 * f0 + down(i)) / (h_[i] * h_[i]);
      for (std::size_t j = i + 1; j < d; ++j) {
        const double hij = -(values_[cross++] - up(i) - up(j) + f0) / (h_[i] * h_[j]);
        a_[i * d + j] = hij;
        a_[j * d + i] = hij;
      }
    }
    return std::all_of(g_.begin(), g_.end(), [](double v) { return std::isfinite(v); }) &&
           std::all_of(a_.begin(), a_.end(), [](double v) { return std::isfinite(v); });
  }

  // The Cholesky factor of a_ into r_, or of a_ + tau D (D the absolute
  // diagonal) for the smallest tau tried that makes it positive definite.
  // Returns whether a shift was needed; factor_ok_ says whether any factor
  // was found.
  [[nodiscard]] bool factor_shifted() {
    const std::size_t d = d_;
    std::copy(a_.begin(), a_.end(), r_.begin());
    factor_ok_ = cholesky_in_place(r_, d);
    if (factor_ok_) return false;
    double largest = 0.0;
    for (std::size_t i = 0; i < d; ++i) largest = std::max(largest, std::fabs(a_[i * d + i]));
    if (!(largest > 0.0)) largest = 1.0;
    for (double tau = laplace_detail::kFirstShift; tau <= laplace_detail::kMaxShift; tau *= 10.0) {
      std::copy(a_.begin(), a_.end(), r_.begin());
      for (std::size_t i = 0; i < d; ++i) {
        const double aii = std::fabs(a_[i * d + i]);
        r_[i * d + i] += tau * (aii > 0.0 ? aii : largest);
      }
      factor_ok_ = cholesky_in_place(r_, d);
      if (factor_ok_) return true;
    }
    return true;
  }

  // p = (R R^T)^-1 g by two triangular solves.
  void solve_newton() {
    const std::size_t d = d_;
    for (std::size_t i = 0; i < d; ++i) {
      double s = g_[i];
      for (std::size_t k = 0; k < i; ++k) s -= r_[i * d + k] * p_[k];
      p_[i] = s / r_[i * d + i];
    }
    for (std::size_t i = d; i-- > 0;) {
      double s = p_[i];
      for (std::size_t k = i + 1; k < d; ++k) s -= r_[k * d + i] * p_[k];
      p_[i] = s / r_[i * d + i];
    }
  }

  // Moves x_ to the longest trial step along p_ that satisfies the Armijo
  // condition; false when none does.
  [[nodiscard]] bool ascend(double decrement) {
    const std::size_t d = d_;
    double alpha = 1.0;
    for (int t = 0; t < laplace_detail::kTrials; ++t, alpha *= 0.5) {
      const std::span<double> p = point(static_cast<std::size_t>(t));
      for (std::size_t i = 0; i < d; ++i) p[i] = x_[i] + alpha * p_[i];
    }
    evaluate(laplace_detail::kTrials);
    alpha = 1.0;
    for (int t = 0; t < laplace_detail::kTrials; ++t, alpha *= 0.5) {
      const double value = values_[static_cast<std::size_t>(t)];
      if (std::isfinite(value) && value >= f0_ + laplace_detail::kArmijo * alpha * decrement) {
        std::copy_n(points_.begin() + static_cast<std::ptrdiff_t>(t * d), d, x_.begin());
        return true;
      }
    }
    return false;
  }

  // The covariance A^-1 = R^-T R^-1 and its Cholesky factor, at the last
  // iterate (r_ holds the unshifted factor of A), and the mode one Newton
  // step on.
  [[nodiscard]] std::expected<LaplaceApproximation, LaplaceFailure> approximation() {
    const std::size_t d = d_;
    LaplaceApproximation out;
    if (!try_resize(out.mode, d) || !try_resize(out.factor, d * d)) return fail(LaplaceFailure::Kind::OutOfMemory);
    // M = R^-1, lower triangular, column by column into a_.
    std::fill(a_.begin(), a_.end(), 0.0);
    for (std::size_t j = 0; j < d; ++j) {
      a_[j * d + j] = 1.0 / r_[j * d + j];
      for (std::size_t i = j + 1; i < d; ++i) {
        double s = 0.0;
        for (std::size_t k = j; k < i; ++k) s -= r_[i * d + k] * a_[k * d + j];
        a_[i * d + j] = s / r_[i * d + i];
      }
    }
    // The covariance M^T M (its lower triangle) into the output.
    for (std::size_t i = 0; i < d; ++i) {
      for (std::size_t j = 0; j <= i; ++j) {
        double s = 0.0;
        for (std::size_t k = i; k < d; ++k) s += a_[k * d + i] * a_[k * d + j];
        out.factor[i * d + j] = s;
      }
    }
    if (!cholesky_in_place(out.factor, d) ||
        !std::all_of(out.factor.begin(), out.factor.end(), [](double v) { return std::isfinite(v); })) {
      return fail(LaplaceFailure::Kind::Indefinite);
    }
    for (std::size_t i = 0; i < d; ++i) out.mode[i] = x_[i] + p_[i];
    if (scale_range(out.factor) > laplace_detail::kMaxScaleRange || !starts_fall_off(out.factor)) {
      return fail(LaplaceFailure::Kind::Narrow);
    }
    out.evaluations = evaluations_;
    return out;
  }

  // The largest marginal sd (row norm of the factor) over the smallest
  // conditional one (its diagonal): at most the square root of the
  // covariance's condition number.
  [[nodiscard]] double scale_range(std::span<const double> factor) const {
    const std::size_t d = d_;
    double widest = 0.0;
    double narrowest = HUGE_VAL;
    for (std::size_t i = 0; i < d; ++i) {
      double row = 0.0;
      for (std::size_t k = 0; k <= i; ++k) row += factor[i * d + k] * factor[i * d + k];
      widest = std::max(widest, std::sqrt(row));
      narrowest = std::min(narrowest, factor[i * d + i]);
    }
    return widest / narrowest;
  }

  // Whether every start at Mahalanobis distance D > 1 from the last iterate
  // (under the covariance factor) lies at least kMinFalloff D below it.
  [[nodiscard]] bool starts_fall_off(std::span<const double> factor) {
    const std::size_t d = d_;
    for (std::size_t c = 0; c < start_values_.size(); ++c) {
      // w = factor^-1 (start - x), by forward substitution into p_ (the
      // Newton step is spent).
      double distance2 = 0.0;
      for (std::size_t i = 0; i < d; ++i) {
        double s = starts_[c * d + i] - x_[i];
        for (std::size_t k = 0; k < i; ++k) s -= factor[i * d + k] * p_[k];
        p_[i] = s / factor[i * d + i];
        distance2 += p_[i] * p_[i];
      }
      const double distance = std::sqrt(distance2);
      if (distance > 1.0 && f0_ - start_values_[c] < laplace_detail::kMinFalloff * distance) return false;
    }
    return true;
  }

  const L* f_;
  std::size_t d_;
  std::uint64_t evaluations_ = 0;
  bool factor_ok_ = false;
  double f0_ = 0.0;
  std::vector<double> points_;
  std::vector<double> values_;
  std::vector<double> x_;
  std::vector<double> g_;
  std::vector<double> p_;      // the Newton direction
  std::vector<double> h_;      // the difference half-widths
  std::vector<double> scale_;  // each coordinate's scale, for its half-width
  std::vector<double> a_;      // the negated Hessian, row-major d x d
  std::vector<double> r_;      // its (possibly shifted) Cholesky factor
  std::span<const double> starts_;
  std::vector<double> start_values_;
};

// The Laplace approximation of f from the best of the rows of `starts`
// (k x dim, k >= 1).
template <LogDensityNd L>
[[nodiscard]] std::expected<LaplaceApproximation, LaplaceFailure> laplace_approximation(
    const L& f, std::span<const double> starts, std::size_t dim) {
  LaplaceSolver<L> solver(f, dim);
  return solver.solve(starts);
}

}  // namespace varlix
