// The metric of a Hamiltonian trajectory, as the integrator applies it.
//
// The inverse mass matrix is a covariance C = L L^T. The trajectory runs in
// whitened momenta r (standard normal, kinetic energy |r|^2 / 2): a
// position step is q += eps L r and a momentum step r += a L^T grad ln pi.
// This is the dynamics of the physical momentum p = L^-T r with kinetic
// energy p^T C p / 2, written so that no inverse is ever formed; and C p
// (the velocity the no-U-turn criterion needs) becomes L r, so that the
// criterion's inner products rho . C p equal plain sums rho_r . r.
// A diagonal metric keeps L as d scales and costs O(d) per step; a dense
// one keeps the lower-triangular factor and costs O(d^2); a low-rank one
// keeps scales and k directions and costs O(dk).
// Reference: Neal (2011), "MCMC using Hamiltonian dynamics", section 4.1
// (a linear transformation of the position is a choice of mass matrix).
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "multivar/chain_runner.hpp"

namespace varlix {

template <class M>
concept HamiltonianMetric = requires(const M& m, std::span<double> y, double a, std::span<const double> v) {
  m.move(y, a, v);  // y += a L v
  m.kick(y, a, v);  // y += a L^T v
};

// L = diag(scale): scale[i] is coordinate i's standard deviation under the
// metric.
struct DiagonalMetric {
  std::span<const double> scale;

  void move(std::span<double> q, double a, std::span<const double> r) const {
    for (std::size_t i = 0; i < q.size(); ++i) q[i] += a * (scale[i] * r[i]);
  }
  void kick(std::span<double> r, double a, std::span<const double> g) const {
    for (std::size_t i = 0; i < r.size(); ++i) r[i] += a * (scale[i] * g[i]);
  }
};

// L lower triangular, row-major d x d (the entries above the diagonal are
// not read).
struct DenseMetric {
  std::span<const double> factor;

  void move(std::span<double> q, double a, std::span<const double> r) const {
    detail::add_factor_times(q, a, factor, r, true);
  }
  void kick(std::span<double> r, double a, std::span<const double> g) const {
    detail::add_factor_transposed_times(r, a, factor, g, true);
  }
};

// C = D^1/2 (I + U (Lambda - I) U^T) D^1/2: a diagonal metric corrected in
// k <= kMaxRank orthonormal directions u_j (in the D-scaled space) where the
// target's variance is lambda_j instead of 1. Applied through
// L = D^1/2 (I + U (Lambda^1/2 - I) U^T), for which L L^T = C since
// (sqrt(l) - 1)^2 + 2 (sqrt(l) - 1) = l - 1; L is not symmetric, so kick
// applies L^T = (I + U (Lambda^1/2 - I) U^T) D^1/2. Both are O(dk) and need
// no memory beyond k numbers on the stack.
// The words (metric_size(d) of them): the d scales of D^1/2, the rank k,
// kMaxRank eigenvalues lambda_j, then kMaxRank rows of d doubles, the
// directions u_j (only the first k of each are read).
struct LowRankMetric {
  static constexpr std::size_t kMaxRank = 10;
  [[nodiscard]] static constexpr std::size_t metric_size(std::size_t dim) {
    return dim + 1 + kMaxRank + kMaxRank * dim;
  }
  [[nodiscard]] static constexpr std::size_t dim_of(std::size_t words) {
    return (words - 1 - kMaxRank) / (1 + kMaxRank);
  }

  std::span<const double> words;

  [[nodiscard]] std::size_t dim() const { return dim_of(words.size()); }
  [[nodiscard]] std::span<const double> scale() const { return words.first(dim()); }
  [[nodiscard]] std::size_t rank() const { return static_cast<std::size_t>(words[dim()]); }
  [[nodiscard]] double eigenvalue(std::size_t j) const { return words[dim() + 1 + j]; }
  [[nodiscard]] std::span<const double> direction(std::size_t j) const {
    return words.subspan(dim() + 1 + kMaxRank + j * dim(), dim());
  }

  // q += a D^1/2 (r + U (Lambda^1/2 - I) U^T r).
  void move(std::span<double> q, double a, std::span<const double> r) const {
    double t[kMaxRank];
    add<true>(q, a, r, t, coefficients(r, nullptr, t));
  }
  // r += a (I + U (Lambda^1/2 - I) U^T) D^1/2 g
  void kick(std::span<double> r, double a, std::span<const double> g) const {
    double t[kMaxRank];
    add<false>(r, a, g, t, coefficients(g, words.data(), t));
  }

 private:
  // out += a D^1/2 v + sum_j a t_j w_j, with w_j = D^1/2 u_j for a move and
  // u_j for a kick: the diagonal step, then one pass per direction (passes
  // without a chain of dependent sums).
  template <bool ScaledDirections>
  void add(std::span<double> out, double a, std::span<const double> v, const double* t, std::size_t k) const {
    const std::size_t d = out.size();
    const double* s = words.data();
    const double* u = words.data() + d + 1 + kMaxRank;
    for (std::size_t i = 0; i < d; ++i) out[i] += a * (s[i] * v[i]);
    for (std::size_t j = 0; j < k; ++j) {
      const double c = a * t[j];
      for (std::size_t i = 0; i < d; ++i) out[i] += c * (ScaledDirections ? s[i] * u[j * d + i] : u[j * d + i]);
    }
  }

  // t_j = (sqrt(lambda_j) - 1) u_j . (w * v), w the scales or (null) ones;
  // returns k. The k sums run side by side in one pass, so that none waits
  // on the rounding of its previous term.
  std::size_t coefficients(std::span<const double> v, const double* w, double* t) const {
    const std::size_t d = v.size();
    const std::size_t k = static_cast<std::size_t>(words[d]);
    const double* u = words.data() + d + 1 + kMaxRank;
    for (std::size_t j = 0; j < k; ++j) t[j] = 0.0;
    for (std::size_t i = 0; i < d; ++i) {
      const double vi = w == nullptr ? v[i] : w[i] * v[i];
      for (std::size_t j = 0; j < k; ++j) t[j] += u[j * d + i] * vi;
    }
    for (std::size_t j = 0; j < k; ++j) t[j] *= std::sqrt(words[d + 1 + j]) - 1.0;
    return k;
  }
};

static_assert(HamiltonianMetric<DiagonalMetric>);
static_assert(HamiltonianMetric<DenseMetric>);
static_assert(HamiltonianMetric<LowRankMetric>);

}  // namespace varlix
