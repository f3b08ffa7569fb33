// Eigenvalues and eigenvectors of a symmetric matrix: Householder
// reduction to tridiagonal form, then the implicit symmetric QR iteration
// with Wilkinson shifts, its rotations accumulated into the reduction's
// orthogonal factor.
//
// About 9 m^3 operations with the vectors, where cyclic Jacobi rotations
// need several times that; backward stable, so every eigenvalue is exact
// to working precision relative to the matrix norm, and the vectors are
// orthonormal to working precision. Used for the m <= a few hundred
// matrices of a metric estimate.
// Reference: Golub & Van Loan, "Matrix Computations" (4th ed.), sections
// 5.1 (Householder reflections and Givens rotations) and 8.3
// (Algorithm 8.3.1, tridiagonalisation; 8.3.2, the implicit shifted QR
// step; 8.3.3, deflation).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

namespace varlix {

namespace symmetric_eigen_detail {

// a . b in four interleaved partial sums: without reassociation by the
// compiler a single sum waits on each rounding, and four run side by side.
[[nodiscard]] inline double dot(const double* a, const double* b, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

// QR steps allowed per eigenvalue before the iteration counts as failed:
// it converges cubically, in two or three steps per eigenvalue.
inline constexpr std::size_t kMaxStepsPerValue = 30;

// The accumulated orthogonal factor is kept transposed (vt = V^T), so
// that a rotation or reflection runs along rows, contiguous in memory.

// a := H a H and vt := H vt for the reflection H = I - 2 w w^T (|w| = 1)
// acting on coordinates k + 1 .. m - 1, which zeroes column k below its
// subdiagonal; `work` holds m doubles.
inline void reflect_column(std::span<double> a, std::size_t m, std::size_t k, std::span<double> vt,
                           std::span<double> w, std::span<double> work) {
  const std::size_t lo = k + 1;
  double norm = 0.0;
  for (std::size_t i = lo; i < m; ++i) norm += a[i * m + k] * a[i * m + k];
  norm = std::sqrt(norm);
  if (norm == 0.0) return;
  // The sign that avoids cancellation in w's first entry.
  const double alpha = a[lo * m + k] > 0.0 ? -norm : norm;
  double wnorm = 0.0;
  for (std::size_t i = lo; i < m; ++i) {
    w[i] = a[i * m + k] - (i == lo ? alpha : 0.0);
    wnorm += w[i] * w[i];
  }
  wnorm = std::sqrt(wnorm);
  if (wnorm == 0.0) return;
  for (std::size_t i = lo; i < m; ++i) w[i] /= wnorm;
  // H a H = a - w z^T - z w^T with p = a w, z = 2 p - 2 (w . p) w, on the
  // trailing block; column and row k become alpha e_lo.
  double kappa = 0.0;
  for (std::size_t i = lo; i < m; ++i) {
    work[i] = dot(&a[i * m + lo], &w[lo], m - lo);
    kappa += w[i] * work[i];
  }
  for (std::size_t i = lo; i < m; ++i) work[i] = 2.0 * work[i] - 2.0 * kappa * w[i];
  for (std::size_t i = lo; i < m; ++i)
    for (std::size_t j = lo; j < m; ++j) a[i * m + j] -= w[i] * work[j] + work[i] * w[j];
  for (std::size_t i = lo; i < m; ++i) a[i * m + k] = a[k * m + i] = i == lo ? alpha : 0.0;
  const std::span<double> s = work;  // s = vt^T w
  std::fill(s.begin(), s.end(), 0.0);
  for (std::size_t i = lo; i < m; ++i)
    for (std::size_t r = 0; r < m; ++r) s[r] += w[i] * vt[i * m + r];
  for (std::size_t i = lo; i < m; ++i)
    for (std::size_t r = 0; r < m; ++r) vt[i * m + r] -= 2.0 * w[i] * s[r];
}

// t := G^T t G and vt := G^T vt for the rotation G of coordinates k, k + 1
// with G^T (x, z) = (r, 0); t is tridiagonal but for the bulge this
// creates, so only indices first .. last are touched.
inline void rotate(std::span<double> t, std::size_t m, std::size_t k, double x, double z, std::size_t first,
                   std::size_t last, std::span<double> vt) {
  const double r = std::hypot(x, z);
  if (r == 0.0) return;
  const double c = x / r;
  const double s = z / r;
  const std::size_t k1 = k + 1;
  for (std::size_t j = first; j <= last; ++j) {
    const double tk = t[j * m + k];
    const double tk1 = t[j * m + k1];
    t[j * m + k] = c * tk + s * tk1;
    t[j * m + k1] = -s * tk + c * tk1;
  }
  for (std::size_t j = first; j <= last; ++j) {
    const double tk = t[k * m + j];
    const double tk1 = t[k1 * m + j];
    t[k * m + j] = c * tk + s * tk1;
    t[k1 * m + j] = -s * tk + c * tk1;
  }
  for (std::size_t r2 = 0; r2 < m; ++r2) {
    const double vk = vt[k * m + r2];
    const double vk1 = vt[k1 * m + r2];
    vt[k * m + r2] = c * vk + s * vk1;
    vt[k1 * m + r2] = -s * vk + c * vk1;
  }
}

// One implicit QR step with Wilkinson's shift on the unreduced block
// lo .. hi of the tridiagonal t.
inline void qr_step(std::span<double> t, std::size_t m, std::size_t lo, std::size_t hi, std::span<double> vt) {
  const double b = t[hi * m + hi - 1];
  const double d = 0.5 * (t[(hi - 1) * m + hi - 1] - t[hi * m + hi]);
  const double root = std::hypot(d, b);
  const double mu = t[hi * m + hi] - b * b / (d + (d >= 0.0 ? root : -root));
  double x = t[lo * m + lo] - mu;
  double z = t[(lo + 1) * m + lo];
  for (std::size_t k = lo; k < hi; ++k) {
    rotate(t, m, k, x, z, k > lo ? k - 1 : lo, std::min(hi, k + 2), vt);
    if (k > lo) t[(k + 1) * m + k - 1] = t[(k - 1) * m + k + 1] = 0.0;  // the bulge just chased
    if (k + 1 < hi) {
      x = t[(k + 1) * m + k];
      z = t[(k + 2) * m + k];
    }
  }
}

}  // namespace symmetric_eigen_detail

// Diagonalises the symmetric m x m matrix a (row-major, both triangles
// set; overwritten): on return values[i] and column i of v (row-major m x
// m) are its eigenpairs, in no particular order. `work` holds 2m doubles.
// False when a is not finite or the iteration did not converge.
[[nodiscard]] inline bool symmetric_eigen(std::span<double> a, std::size_t m, std::span<double> v,
                                          std::span<double> values, std::span<double> work) {
  namespace sd = symmetric_eigen_detail;
  for (const double x : a.first(m * m))
    if (!std::isfinite(x)) return false;
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < m; ++j) v[i * m + j] = i == j ? 1.0 : 0.0;
  for (std::size_t k = 0; k + 2 < m; ++k) sd::reflect_column(a, m, k, v, work.first(m), work.subspan(m, m));
  constexpr double eps = std::numeric_limits<double>::epsilon();
  std::size_t steps = 0;
  std::size_t hi = m == 0 ? 0 : m - 1;
  while (hi > 0) {
    // Whether the subdiagonal entry (i + 1, i) is below rounding, and then
    // zero.
    auto split = [&](std::size_t i) {
      const double diag = std::fabs(a[i * m + i]) + std::fabs(a[(i + 1) * m + i + 1]);
      if (std::fabs(a[(i + 1) * m + i]) > eps * diag) return false;
      a[(i + 1) * m + i] = a[i * m + i + 1] = 0.0;
      return true;
    };
    if (split(hi - 1)) {
      --hi;
      continue;
    }
    std::size_t lo = hi - 1;
    while (lo > 0 && !split(lo - 1)) --lo;
    if (++steps > sd::kMaxStepsPerValue * m) return false;
    sd::qr_step(a, m, lo, hi, v);
  }
  for (std::size_t i = 0; i < m; ++i) values[i] = a[i * m + i];
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < i; ++j) std::swap(v[i * m + j], v[j * m + i]);
  return true;
}

}  // namespace varlix
