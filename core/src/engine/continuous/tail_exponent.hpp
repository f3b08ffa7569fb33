// The power law a density's tail decays by, measured on shells of growing
// width: whether ∫ |x|^n f converges is decided by it, not by a quadrature
// error that merely stays large.
//
// Beyond an anchor a, in the direction d = ±1, the shells are
//   x = a + d s e^u,  u in [j, j + 1),  j = 0 .. kShells - 1,
// each integrated by the 15-point Kronrod rule in u (dx = s e^u du). For a
// tail f(x) ~ |x|^-α the shell masses go as e^{(1 - α) u}, so the slope β of
// log mass against u on the far half of the shells gives α = 1 - β; the
// shells of |x - c|^n f then go as e^{(n + 1 - α) u}, and that moment
// converges exactly when α > n + 1. A tail that reaches zero (an exponential
// underflows, a compact support) decays faster than any power: α = +inf.
//
// Why shells in log x: a bounded oscillating factor ((2 + cos x) f) averages
// out over a shell, where the pointwise ratio f(2x)/f(x) would swing by a
// factor 9; and a power law becomes a straight line that a least-squares fit
// reads to a few thousandths over the fitted half.
//
// The walk is this library's probe, not the user's request: where f fails
// (NaN, an overflow in a plain math function far out) the walk stops and the
// shells before that point are used; too few of them leave α unknown (NaN).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <expected>
#include <limits>
#include <span>
#include <vector>

#include "continuous/gauss_kronrod.hpp"
#include "evaluate.hpp"
#include "memory.hpp"
#include "setup_error.hpp"

namespace varlix {

namespace tail_exponent_detail {

// Shells out to x - a = s e^48 ≈ 7e20 s: far enough that the correction
// terms of a rational density (1 + x²)^-1.5 are 1e-40 of the leading power,
// near enough that a density written as 1 / (1 + x^8) does not overflow.
inline constexpr std::size_t kShells = 48;
// The fit uses the far half: the near shells still see the body of the law.
inline constexpr std::size_t kFitFrom = kShells / 2;
// Fewer usable shells than this in the fitted range give no verdict.
inline constexpr std::size_t kMinFitted = 8;

// The mass of every shell; `usable` counts the shells before the first node
// where f was not a finite non-negative number.
template <class F>
std::expected<std::size_t, SetupError> shell_masses(const F& f, double anchor, double direction, double scale,
                                                    std::array<double, kShells>& mass) {
  using namespace gauss_kronrod_detail;
  std::vector<double> x, y, weight;
  if (!try_resize(x, kShells * kNodes) || !try_resize(y, kShells * kNodes) ||
      !try_resize(weight, kShells * kNodes)) {
    return std::unexpected(SetupError::out_of_memory());
  }
  for (std::size_t j = 0; j < kShells; ++j) {
    const Piece shell{static_cast<double>(j), static_cast<double>(j + 1), Map::Finite, 0.0, 0};
    for (std::size_t k = 0; k < kNodes; ++k) {
      const double u = node_in_piece(shell, k);
      const double step = scale * std::exp(u);
      x[j * kNodes + k] = anchor + direction * step;
      weight[j * kNodes + k] = 0.5 * kronrod_weight(k) * step;
    }
  }
  evaluate(f, std::span<const double>(x), std::span<double>(y));
  for (std::size_t j = 0; j < kShells; ++j) {
    double m = 0.0;
    for (std::size_t k = 0; k < kNodes; ++k) {
      const double v = y[j * kNodes + k];
      if (!(std::isfinite(v) && v >= 0.0)) return j;
      m += weight[j * kNodes + k] * v;
    }
    mass[j] = m;
  }
  return kShells;
}

// The least-squares slope of log mass[j] against j over the positive
// masses of [from, to); NaN when fewer than kMinFitted.
inline double log_slope(std::span<const double> mass, std::size_t from, std::size_t to) {
  double n = 0.0, su = 0.0, sl = 0.0, suu = 0.0, sul = 0.0;
  for (std::size_t j = from; j < to; ++j) {
    if (!(mass[j] > 0.0)) continue;
    const double u = static_cast<double>(j);
    const double l = std::log(mass[j]);
    n += 1.0;
    su += u;
    sl += l;
    suu += u * u;
    sul += u * l;
  }
  if (n < static_cast<double>(kMinFitted)) return std::numeric_limits<double>::quiet_NaN();
  return (n * sul - su * sl) / (n * suu - su * su);
}

}  // namespace tail_exponent_detail

// α with f(a + d t) ~ t^-α as t grows (d = +1: the right tail, -1: the
// left); +inf for a tail lighter than every power, NaN when f could not be
// followed far enough to tell. `scale` is the width of the first shell (the
// spread of the law).
template <class F>
[[nodiscard]] std::expected<double, SetupError> tail_exponent(const F& f, double anchor, double direction,
                                                              double scale) {
  using namespace tail_exponent_detail;
  std::array<double, kShells> mass{};
  const auto usable = shell_masses(f, anchor, direction, scale, mass);
  if (!usable) return std::unexpected(usable.error());
  const std::size_t n = *usable;
  // Zero mass at the end of the walk: the tail has ended or underflowed.
  if (n > 0 && mass[n - 1] == 0.0) return std::numeric_limits<double>::infinity();
  if (n < kShells) {
    // Stopped early: the far half of what was walked, if it is enough.
    return 1.0 - log_slope(std::span<const double>(mass), n / 2, n);
  }
  return 1.0 - log_slope(std::span<const double>(mass), kFitFrom, kShells);
}

}  // namespace varlix
