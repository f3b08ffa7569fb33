// Adaptive Simpson quadrature with Richardson extrapolation, driven by an
// explicit stack instead of recursion. It is the one integrator of the
// univariate core: normalizers, every CDF value of an integrated density,
// truncation masses and moments all come from integrate_fn.
//
// Each accepted interval contributes (S1 + S2) + (S1 + S2 - S) / 15, which is
// Boole's rule on five equally spaced points and exact for polynomials up to
// degree 5 (Lyness 1969, "Notes on the adaptive Simpson quadrature routine").
// The tolerance is absolute and is not halved when an interval is split.
// Nothing is cached: every estimate evaluates its three points afresh, so an
// examination costs six integrand calls and the first estimate three.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace varlix {

// An interval with more entries than this waiting beneath it is accepted
// whatever its error, which bounds the stack at kMaxWaiting + 2 entries.
inline constexpr std::size_t kMaxWaiting = 48;

// Integrand calls one integration may make: far more than an integrand whose
// tolerance can be met needs, and a fraction of a second of compiled code or
// some seconds of a Python callable. An integral whose tolerance cannot be met
// (the second moment of a heavy tail on a wide interval) would otherwise keep
// refining for hours.
inline constexpr std::uint64_t kIntegrationBudget = 10'000'000;

// f(a), f(m), f(b) are called in this order.
template <class F>
[[nodiscard]] double simpson(F& f, double a, double b) {
  const double m = (a + b) * 0.5;
  const double fa = f(a);
  const double fm = f(m);
  const double fb = f(b);
  return ((fa + 4.0 * fm) + fb) * ((b - a) / 6.0);
}

namespace detail {

// Simpson's error shrinks by 2^4 when the width halves, so the two-halves
// estimate is off by about delta / (2^4 - 1): the Richardson divisor.
inline constexpr double kRichardsonDivisor = 15.0;

inline constexpr std::uint64_t kCallsPerEstimate = 3;
inline constexpr std::uint64_t kCallsPerExamination = 2 * kCallsPerEstimate;

struct PendingInterval {
  double lo;
  double hi;
  double estimate;
};

// Integration from a to b with a < b or a bound NaN; `budget` caps the
// integrand calls, and NaN comes back once the next examination would pass it.
template <class F>
[[nodiscard]] double integrate_ordered(F& f, double a, double b, double tol, std::uint64_t budget) {
  std::array<PendingInterval, kMaxWaiting + 2> stack;
  std::size_t size = 0;
  stack[size++] = {a, b, simpson(f, a, b)};
  std::uint64_t calls = kCallsPerEstimate;
  const double accept_within = kRichardsonDivisor * tol;
  double total = 0.0;
  while (size > 0) {
    if (budget - calls < kCallsPerExamination) {
      return std::numeric_limits<double>::quiet_NaN();
    }
    calls += kCallsPerExamination;
    const auto [g, h, whole] = stack[size - 1];
    const std::size_t waiting = size - 1;
    const double m = (g + h) * 0.5;
    const double left = simpson(f, g, m);
    const double right = simpson(f, m, h);
    const double delta = (left + right) - whole;
    // A non-finite delta never meets the tolerance; refining it would not end
    // when the bad value sits at a right end, so it is accepted and its
    // non-finite contribution reports the failure through the total.
    if (accept_within >= std::abs(delta) || waiting > kMaxWaiting || !std::isfinite(delta)) {
      total = total + ((left + right) + delta / kRichardsonDivisor);
      --size;
    } else {
      stack[size - 1] = {m, h, right};
      stack[size++] = {g, m, left};
    }
  }
  return total;
}

}  // namespace detail

// Integral of f over [a, b] (negated when a > b) to the absolute tolerance
// tol. A non-finite integrand value or bound gives a non-finite result; so
// does an integration that exhausts kIntegrationBudget (NaN).
template <class F>
[[nodiscard]] double integrate_fn(F&& f, double a, double b, double tol) {
  if (a == b) {
    return 0.0;
  }
  if (a > b) {
    return -detail::integrate_ordered(f, b, a, tol, kIntegrationBudget);
  }
  return detail::integrate_ordered(f, a, b, tol, kIntegrationBudget);
}

}  // namespace varlix
