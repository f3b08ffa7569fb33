// The low-rank metric of a warm-up window (hamiltonian_metric.hpp's
// LowRankMetric): the diagonal D from draws and gradients as for a
// diagonal metric, then the directions where the target, seen through D,
// is still far from isotropic.
//
// In the D-scaled space (x / sqrt(D), g * sqrt(D)) a Gaussian target of
// covariance S has draws of covariance C_x = S and gradients of covariance
// C_g = S^-1, so S solves S C_g S = C_x; its solution is the geometric mean
// of C_x and C_g^-1, C_g^-1/2 (C_g^1/2 C_x C_g^1/2)^1/2 C_g^-1/2. A window
// of n draws sees S only on the span of its draws and gradients (at most
// 2n directions), so the mean is taken there, with both covariances
// regularised by kRegularisation I (the covariances are rank-deficient
// whenever n is below that span's dimension). Its eigenvectors whose
// eigenvalues lie furthest from 1 (beyond a factor kCutoff, at most
// LowRankMetric::kMaxRank of them) are the metric's directions; elsewhere
// the metric is D. Each window's estimate replaces the last one.
// Memory: the window's last kReservoir draws and gradients (a ring; a
// longer window's late draws are the ones nearest the final metric) and
// the work of the estimate, O(d * kReservoir + kReservoir^2) per chain;
// the chain's metric itself is O(d * kMaxRank). Work per window end
// O(d kReservoir^2 + kReservoir^3), nothing per draw beyond a copy.
// Reference: Seyboldt et al., "Preconditioning for Hamiltonian Monte
// Carlo" (the low-rank modified mass matrix of the nutpie sampler).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "memory.hpp"
#include "multivar/chain_fault.hpp"
#include "multivar/hamiltonian_metric.hpp"
#include "multivar/symmetric_eigen.hpp"
#include "multivar/windowed_adaptation.hpp"

namespace varlix {

class LowRankEstimator {
 public:
  // Draws kept per window: 2 kReservoir directions bound the eigenproblems
  // (O(kReservoir^3) each), and 100 draws pin down the few strong
  // directions of a target of d in the hundreds.
  static constexpr std::size_t kReservoir = 100;
  // Added to both covariances in the scaled space (where D makes them of
  // order 1): keeps directions seen by only the draws or only the gradients
  // from getting eigenvalues beyond about 1 / kRegularisation.
  static constexpr double kRegularisation = 1e-3;
  // Eigenvalues within this factor of 1 are left to D: a correction that
  // small buys less than its estimation noise costs.
  static constexpr double kCutoff = 2.0;
  // A candidate direction whose part outside the basis so far is below
  // this fraction of its length adds only rounding to the basis.
  static constexpr double kIndependence = 1e-8;

  [[nodiscard]] static std::expected<LowRankEstimator, ChainFault> make(std::size_t dim) {
    auto diagonal = DiagonalEstimator::make(dim);
    if (!diagonal) return std::unexpected(diagonal.error());
    LowRankEstimator e(std::move(*diagonal), dim);
    const std::size_t m = e.max_basis();
    if (!try_resize(e.x_, kReservoir * dim) || !try_resize(e.g_, kReservoir * dim) ||
        !try_resize(e.basis_, m * dim) || !try_resize(e.p_, m * kReservoir) ||
        !try_resize(e.a_, m * m) || !try_resize(e.b_, m * m) || !try_resize(e.v_, m * m) ||
        !try_resize(e.w_, m * m) || !try_resize(e.h_, m * m) || !try_resize(e.values_, m) || !try_resize(e.roots_, m) ||
        !try_resize(e.work_, 2 * m)) {
      return std::unexpected(ChainFault{ChainFault::Kind::OutOfMemory});
    }
    return e;
  }

  [[nodiscard]] static std::size_t metric_size(std::size_t dim) { return LowRankMetric::metric_size(dim); }
  [[nodiscard]] static std::size_t state_size(std::size_t dim) {
    return DiagonalEstimator::state_size(dim) + 1 + 2 * kReservoir * dim;
  }
  [[nodiscard]] double count() const { return diagonal_.count(); }

  // The window's running sums and reservoir as state_size(d) doubles, and
  // back.
  void save(std::span<double> out) const {
    const std::size_t head = DiagonalEstimator::state_size(d_);
    diagonal_.save(out.first(head));
    out[head] = static_cast<double>(seen_);
    std::copy(x_.begin(), x_.end(), out.begin() + static_cast<std::ptrdiff_t>(head + 1));
    std::copy(g_.begin(), g_.end(), out.begin() + static_cast<std::ptrdiff_t>(head + 1 + x_.size()));
  }
  void restore(std::span<const double> in) {
    const std::size_t head = DiagonalEstimator::state_size(d_);
    diagonal_.restore(in.first(head));
    seen_ = static_cast<std::size_t>(in[head]);
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(head + 1), x_.size(), x_.begin());
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(head + 1 + x_.size()), g_.size(), g_.begin());
  }

  void add(std::span<const double> x, std::span<const double> g) {
    diagonal_.add(x, g);
    const std::size_t slot = seen_++ % kReservoir;
    std::copy(x.begin(), x.end(), x_.begin() + static_cast<std::ptrdiff_t>(slot * d_));
    std::copy(g.begin(), g.end(), g_.begin() + static_cast<std::ptrdiff_t>(slot * d_));
  }

  // Replaces the metric (LowRankMetric words) by the window's estimate
  // (nothing from fewer than two draws; the diagonal alone when the
  // eigenproblems fail) and starts a new window.
  void update(std::span<double> metric) {
    const std::size_t n = std::min(seen_, kReservoir);
    if (n >= 2) {
      diagonal_.update(metric.first(d_));
      metric[d_] = static_cast<double>(estimate(n, metric));
    }
    clear();
  }

  void clear() {
    diagonal_.clear();
    seen_ = 0;
  }

 private:
  LowRankEstimator(DiagonalEstimator diagonal, std::size_t dim) : diagonal_(std::move(diagonal)), d_(dim) {}

  [[nodiscard]] std::size_t max_basis() const { return std::min(d_, 2 * kReservoir); }
  [[nodiscard]] std::span<double> row(std::vector<double>& v, std::size_t k) {
    return std::span<double>(v).subspan(k * d_, d_);
  }

  // The directions and eigenvalues into the metric words; returns the rank.
  std::size_t estimate(std::size_t n, std::span<double> metric) {
    scale_and_centre(n, metric.first(d_));
    const std::size_t m = build_basis(n);
    if (m == 0) return 0;
    project(n, m, x_, p_, a_);
    project(n, m, g_, p_, b_);
    if (!geometric_mean(m)) return 0;  // into a_
    if (!symmetric_eigen(a_, m, v_, values_, work_)) return 0;
    return select_directions(m, metric);
  }

  // Draws and gradients into the D-scaled space, centred, in place (the
  // reservoir is spent once the window ends).
  void scale_and_centre(std::size_t n, std::span<const double> scale) {
    for (std::size_t i = 0; i < d_; ++i) {
      double mx = 0.0;
      double mg = 0.0;
      for (std::size_t t = 0; t < n; ++t) {
        mx += x_[t * d_ + i];
        mg += g_[t * d_ + i];
      }
      mx /= static_cast<double>(n);
      mg /= static_cast<double>(n);
      for (std::size_t t = 0; t < n; ++t) {
        x_[t * d_ + i] = (x_[t * d_ + i] - mx) / scale[i];
        g_[t * d_ + i] = (g_[t * d_ + i] - mg) * scale[i];
      }
    }
  }

  // An orthonormal basis (rows of basis_) of the span of the scaled draws
  // and gradients, by Gram-Schmidt with a second pass (which makes it
  // orthonormal to working precision); returns its size.
  std::size_t build_basis(std::size_t n) {
    std::size_t m = 0;
    for (std::size_t c = 0; c < 2 * n && m < max_basis(); ++c) {
      const std::span<const double> from = c < n ? row(x_, c) : row(g_, c - n);
      const std::span<double> q = row(basis_, m);
      std::copy(from.begin(), from.end(), q.begin());
      const double length = std::sqrt(squared_length(q));
      if (!(length > 0.0) || !std::isfinite(length)) continue;
      for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t b = 0; b < m; ++b) {
          const std::span<const double> e = row(basis_, b);
          const double along = symmetric_eigen_detail::dot(e.data(), q.data(), d_);
          for (std::size_t i = 0; i < d_; ++i) q[i] -= along * e[i];
        }
      }
      const double rest = std::sqrt(squared_length(q));
      if (!(rest > kIndependence * length)) continue;
      for (double& v : q) v /= rest;
      ++m;
    }
    return m;
  }

  // p = basis * rows^T (m x n) and cov = p p^T / n + kRegularisation I.
  void project(std::size_t n, std::size_t m, std::vector<double>& rows, std::vector<double>& p,
               std::vector<double>& cov) {
    for (std::size_t b = 0; b < m; ++b) {
      const std::span<const double> e = row(basis_, b);
      for (std::size_t t = 0; t < n; ++t) {
        const std::span<const double> r = row(rows, t);
        p[b * n + t] = symmetric_eigen_detail::dot(e.data(), r.data(), d_);
      }
    }
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j <= i; ++j) {
        const double s = symmetric_eigen_detail::dot(&p[i * n], &p[j * n], n) / static_cast<double>(n);
        cov[i * m + j] = s;
        cov[j * m + i] = s;
      }
      cov[i * m + i] += kRegularisation;
    }
  }

  // a_ := the geometric mean of a_ and b_^-1 (both m x m, positive
  // definite): with b = V diag(beta) V^T and
  // b^1/2 a b^1/2 = W diag(mu) W^T, the mean is Z diag(sqrt(mu)) Z^T for
  // Z = b^-1/2 W = V diag(beta^-1/2) V^T W.
  [[nodiscard]] bool geometric_mean(std::size_t m) {
    if (!symmetric_eigen(b_, m, v_, values_, work_)) return false;
    for (std::size_t i = 0; i < m; ++i) {
      if (!(values_[i] > 0.0)) return false;
      roots_[i] = std::sqrt(values_[i]);
    }
    congruence(m, v_, [&](std::size_t k) { return roots_[k]; }, w_, b_);        // b^1/2
    congruence(m, v_, [&](std::size_t k) { return 1.0 / roots_[k]; }, w_, h_);  // b^-1/2
    multiply(m, b_, a_, w_);   // w = b^1/2 a
    multiply(m, w_, b_, a_);   // a = b^1/2 a b^1/2
    symmetrise(m, a_);
    if (!symmetric_eigen(a_, m, v_, values_, work_)) return false;
    multiply(m, h_, v_, w_);   // Z = b^-1/2 W
    congruence(m, w_, [&](std::size_t k) { return std::sqrt(std::max(values_[k], 0.0)); }, b_, a_);
    return true;
  }

  // out := X diag(f(k)) X^T, through scratch (all m x m).
  template <class F>
  static void congruence(std::size_t m, const std::vector<double>& x, F f, std::vector<double>& scratch,
                         std::vector<double>& out) {
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t k = 0; k < m; ++k) scratch[i * m + k] = x[i * m + k] * f(k);
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j <= i; ++j) {
        const double s = symmetric_eigen_detail::dot(&scratch[i * m], &x[j * m], m);
        out[i * m + j] = s;
        out[j * m + i] = s;
      }
    }
  }

  static void multiply(std::size_t m, const std::vector<double>& l, const std::vector<double>& r,
                       std::vector<double>& out) {
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < m; ++j) out[i * m + j] = 0.0;
      for (std::size_t k = 0; k < m; ++k) {
        const double lik = l[i * m + k];
        for (std::size_t j = 0; j < m; ++j) out[i * m + j] += lik * r[k * m + j];
      }
    }
  }

  static void symmetrise(std::size_t m, std::vector<double>& a) {
    for (std::size_t i = 0; i < m; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        const double s = 0.5 * (a[i * m + j] + a[j * m + i]);
        a[i * m + j] = s;
        a[j * m + i] = s;
      }
    }
  }

  // The eigenpairs of the mean (values_, columns of v_) furthest from 1 in
  // ratio, beyond kCutoff, at most kMaxRank, into the metric words with
  // their directions mapped back to d coordinates; returns their number.
  std::size_t select_directions(std::size_t m, std::span<double> metric) {
    constexpr std::size_t kMax = LowRankMetric::kMaxRank;
    std::size_t chosen[kMax];
    std::size_t k = 0;
    const double floor = std::log(kCutoff);
    for (; k < kMax; ++k) {
      std::size_t best = m;
      double far = floor;
      for (std::size_t j = 0; j < m; ++j) {
        if (!(values_[j] > 0.0)) continue;
        const double distance = std::fabs(std::log(values_[j]));
        if (distance > far && std::find(chosen, chosen + k, j) == chosen + k) {
          best = j;
          far = distance;
        }
      }
      if (best == m) break;
      chosen[k] = best;
    }
    for (std::size_t j = 0; j < k; ++j) {
      metric[d_ + 1 + j] = values_[chosen[j]];
      const std::span<double> u = metric.subspan(d_ + 1 + kMax + j * d_, d_);
      std::fill(u.begin(), u.end(), 0.0);
      for (std::size_t b = 0; b < m; ++b) {
        const double c = v_[b * m + chosen[j]];
        const std::span<const double> e = row(basis_, b);
        for (std::size_t i = 0; i < d_; ++i) u[i] += c * e[i];
      }
    }
    return k;
  }

  [[nodiscard]] static double squared_length(std::span<const double> v) {
    double s = 0.0;
    for (const double x : v) s += x * x;
    return s;
  }

  DiagonalEstimator diagonal_;
  std::size_t d_;
  std::size_t seen_ = 0;
  std::vector<double> x_;  // kReservoir rows of d: the reservoir, then the scaled draws
  std::vector<double> g_;
  std::vector<double> basis_;  // rows
  std::vector<double> p_;  // a projection, m x n
  std::vector<double> a_, b_, v_, w_, h_;  // m x m
  std::vector<double> values_, roots_, work_;
};

}  // namespace varlix
