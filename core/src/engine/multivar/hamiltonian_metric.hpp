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
// one keeps the lower-triangular factor and costs O(d^2).
// Reference: Neal (2011), "MCMC using Hamiltonian dynamics", section 4.1
// (a linear transformation of the position is a choice of mass matrix).
#pragma once

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

static_assert(HamiltonianMetric<DiagonalMetric>);
static_assert(HamiltonianMetric<DenseMetric>);

}  // namespace varlix
