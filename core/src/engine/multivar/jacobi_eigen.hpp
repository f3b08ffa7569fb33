// Eigenvalues and eigenvectors of a small symmetric matrix by cyclic
// Jacobi rotations.
//
// Each rotation zeroes one off-diagonal pair; sweeps over all pairs repeat
// until the off-diagonal mass is negligible beside the diagonal. Slower
// than a tridiagonal reduction for large m (about 10 sweeps of O(m^3)), but
// short, unconditionally stable and accurate in every eigenvalue to
// working precision relative to the matrix norm: the right tool for the
// m <= a few hundred matrices of a metric estimate, computed a few times
// per warm-up.
// Reference: Golub & Van Loan, "Matrix Computations" (4th ed.), section
// 8.5 (the cyclic Jacobi method, and the stable choice of the rotation).
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace varlix {

namespace jacobi_detail {
// Sweeps beyond which the iteration is taken as failed: convergence is
// quadratic, and ten sweeps suffice for every matrix met in practice.
inline constexpr int kMaxSweeps = 60;
}  // namespace jacobi_detail

// Diagonalises the symmetric m x m matrix a (row-major, both triangles
// set; overwritten): on return values[i] and column i of v (row-major m x
// m) are its eigenpairs, in no particular order. False when the sweeps did
// not converge or a is not finite.
[[nodiscard]] inline bool jacobi_eigen(std::span<double> a, std::size_t m, std::span<double> v,
                                       std::span<double> values) {
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) v[i * m + j] = i == j ? 1.0 : 0.0;
  for (int sweep = 0; sweep < jacobi_detail::kMaxSweeps; ++sweep) {
    double off = 0.0;
    double diag = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      diag += a[i * m + i] * a[i * m + i];
      for (std::size_t j = i + 1; j < m; ++j) off += a[i * m + j] * a[i * m + j];
    }
    if (!std::isfinite(off) || !std::isfinite(diag)) return false;
    if (off <= 1e-30 * diag || off == 0.0) {
      for (std::size_t i = 0; i < m; ++i) values[i] = a[i * m + i];
      return true;
    }
    for (std::size_t p = 0; p + 1 < m; ++p) {
      for (std::size_t q = p + 1; q < m; ++q) {
        const double apq = a[p * m + q];
        if (apq == 0.0) continue;
        // The smaller root of t^2 + 2 theta t - 1 = 0: a rotation by at
        // most 45 degrees, which keeps the iteration stable.
        const double theta = (a[q * m + q] - a[p * m + p]) / (2.0 * apq);
        const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (std::size_t k = 0; k < m; ++k) {  // columns p and q
          const double akp = a[k * m + p];
          const double akq = a[k * m + q];
          a[k * m + p] = c * akp - s * akq;
          a[k * m + q] = s * akp + c * akq;
        }
        for (std::size_t k = 0; k < m; ++k) {  // rows p and q
          const double apk = a[p * m + k];
          const double aqk = a[q * m + k];
          a[p * m + k] = c * apk - s * aqk;
          a[q * m + k] = s * apk + c * aqk;
        }
        for (std::size_t k = 0; k < m; ++k) {
          const double vkp = v[k * m + p];
          const double vkq = v[k * m + q];
          v[k * m + p] = c * vkp - s * vkq;
          v[k * m + q] = s * vkp + c * vkq;
        }
      }
    }
  }
  return false;
}

}  // namespace varlix
