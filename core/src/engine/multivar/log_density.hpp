// Log-densities of d coordinates as the Markov chains of the varlix package
// call them, and the small numerical pieces the chains share.
//
// A log-density is any const-callable double(std::span<const double>) on a
// point of d coordinates. One that can take many points at once (a
// NumPy-vectorized Python function) also provides
//     void eval_batch(std::span<const double> points, std::span<double> values) const;
// with points.size() == values.size() * d, and is called once per batch: the
// chains of a group move in lockstep so that one batch holds a proposal of
// each. One that knows its gradient provides
//     bool gradient(std::span<const double> x, std::span<double> g) const;
// returning false only when it failed (a Python exception); any other
// function gets central differences.
//
// -inf means "outside the support" and is an ordinary value. NaN is the one
// sign of a failed function (a user function that raised, or one that
// returned NaN), +inf a density that cannot be normalised: both stop a run.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <span>

#include "uniform_source.hpp"

namespace varlix {

template <class L>
concept LogDensityNd = requires(const L& f, std::span<const double> x) {
  { f(x) } -> std::convertible_to<double>;
};

template <class L>
concept BatchLogDensity = LogDensityNd<L> && requires(const L& f, std::span<const double> x, std::span<double> y) {
  f.eval_batch(x, y);
};

template <class L>
concept GradientLogDensity = LogDensityNd<L> && requires(const L& f, std::span<const double> x, std::span<double> g) {
  { f.gradient(x, g) } -> std::same_as<bool>;
};

// A log-density that computes its value and gradient in one call (most
// models share the work between the two) provides
//     bool value_and_gradient(std::span<const double> x, std::span<double> g, double& value) const;
// returning false only when it failed, like gradient().
template <class L>
concept JointGradientLogDensity =
    LogDensityNd<L> && requires(const L& f, std::span<const double> x, std::span<double> g, double& value) {
      { f.value_and_gradient(x, g, value) } -> std::same_as<bool>;
    };

template <class L>
concept DifferentiableLogDensity = GradientLogDensity<L> || JointGradientLogDensity<L>;

// The log-density at x into value and, where it is finite, its gradient
// into g (a gradient outside the support means nothing, so it is not asked
// for). False only when the function failed.
template <DifferentiableLogDensity L>
[[nodiscard]] bool evaluate_with_gradient(const L& f, std::span<const double> x, std::span<double> g, double& value) {
  if constexpr (JointGradientLogDensity<L>) {
    return f.value_and_gradient(x, g, value);
  } else {
    value = f(x);
    return !std::isfinite(value) || f.gradient(x, g);
  }
}

// values[k] = f(points[k*d .. (k+1)*d)) for every k, in one batch when f can.
template <LogDensityNd L>
void evaluate_log_density(const L& f, std::span<const double> points, std::size_t dim, std::span<double> values) {
  if (values.empty()) return;
  if constexpr (BatchLogDensity<L>) {
    f.eval_batch(points, values);
  } else {
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = f(points.subspan(k * dim, dim));
  }
}

// A value that stops a run: NaN (the function failed) or +inf.
[[nodiscard]] inline bool is_fault_value(double value) { return std::isnan(value) || value == HUGE_VAL; }

// Relative half-width of the central differences: the cube root of the
// double epsilon balances truncation error against rounding error.
inline constexpr double kGradientStep = 6.0554544523933395e-06;

// The half-width used for coordinate x; adding and subtracting it is exact,
// so the two points lie exactly 2h apart.
[[nodiscard]] inline double difference_step(double x) {
  const double h = kGradientStep * std::max(1.0, std::fabs(x));
  return (x + h) - x;
}

// Marsaglia & Bray (1964) polar method: a uniform point of the unit disc
// (by rejection from the square, accepted with probability pi/4) gives two
// independent standard normals with one logarithm and one square root, and
// no trigonometric call; for an odd d the last one is discarded.
template <UniformSource S>
void fill_standard_normal(S& source, std::span<double> z) {
  for (std::size_t i = 0; i < z.size(); i += 2) {
    double v1 = 0.0;
    double v2 = 0.0;
    double s = 0.0;
    do {
      v1 = 2.0 * source.next_double() - 1.0;
      v2 = 2.0 * source.next_double() - 1.0;
      s = v1 * v1 + v2 * v2;
    } while (s >= 1.0 || s == 0.0);
    const double factor = std::sqrt(-2.0 * std::log(s) / s);
    z[i] = v1 * factor;
    if (i + 1 < z.size()) z[i + 1] = v2 * factor;
  }
}

// The mirror image of y in [lo, hi] (lo < hi), and whether it came out of an
// odd number of mirrors (the direction of travel is then reversed). Computed
// from the mirror period 2 (hi - lo) in one pass, for near and far y alike.
struct Reflected {
  double value;
  bool reversed;
};

[[nodiscard]] inline Reflected reflect_into(double y, double lo, double hi) {
  if (y >= lo && y <= hi) return {y, false};
  const double width = hi - lo;
  const double t = (y - lo) / width;
  const double k = std::floor(t);
  const double frac = t - k;
  const bool odd = std::fmod(k, 2.0) != 0.0;
  const double z = odd ? hi - frac * width : lo + frac * width;
  return {std::clamp(z, lo, hi), odd};
}

}  // namespace varlix
