// Cholesky factorisation in place, for the metrics of the chain samplers.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace varlix {

// Cholesky factorisation of the lower triangle of a (row-major, in place);
// false when a is not numerically positive definite.
[[nodiscard]] inline bool cholesky_in_place(std::span<double> a, std::size_t d) {
  for (std::size_t j = 0; j < d; ++j) {
    double diag = a[j * d + j];
    for (std::size_t k = 0; k < j; ++k) diag -= a[j * d + k] * a[j * d + k];
    if (!(diag > 0.0) || !std::isfinite(diag)) return false;
    const double root = std::sqrt(diag);
    a[j * d + j] = root;
    for (std::size_t i = j + 1; i < d; ++i) {
      double s = a[i * d + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * d + k] * a[j * d + k];
      a[i * d + j] = s / root;
    }
    for (std::size_t k = j + 1; k < d; ++k) a[j * d + k] = 0.0;
  }
  return true;
}

}  // namespace varlix
