// Sampling through a user-supplied chain-rule factorisation.
//
// f(x) = f(x_0) f(x_1 | x_0) ... f(x_{d-1} | x_0..x_{d-2}): coordinate i is
// drawn from its conditional given the i coordinates already drawn. The
// right tool when those conditionals can be sampled directly; points are
// independent exactly as far as the user's draws are. All randomness comes
// from the factorisation, which may use the generator it is handed.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "multivar/support.hpp"
#include "random.hpp"

namespace varlix {

// Draws coordinate i given prefix, the i coordinates drawn so far.
template <class F>
concept ConditionalFactorization = requires(const F& f, Rng& rng, std::size_t i, std::span<const double> prefix) {
  { f.sample_i(rng, i, prefix) } -> std::convertible_to<double>;
};

template <ConditionalFactorization F>
class ConditionalFactorSampler {
 public:
  // No test: dim = 0 is accepted here and fails at sampling.
  ConditionalFactorSampler(F factorization, std::uint64_t dim)
      : factorization_(std::move(factorization)), dim_(dim) {}

  // One point, values stored exactly as returned; McmcFailed when dim = 0.
  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample_with_rng(Rng& rng) const {
    if (dim_ == 0) return std::unexpected(SampleError::mcmc_failed());
    auto x = try_zero_vector(static_cast<std::size_t>(dim_));
    if (!x) return std::unexpected(SampleError::out_of_memory());
    fill(rng, *x);
    return std::move(*x);
  }

  [[nodiscard]] std::expected<std::vector<double>, SampleError> sample() const {
    return sample_with_rng(thread_rng());
  }

  // n points in order; n = 0 succeeds without a call, even for dim = 0.
  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n_with_rng(std::uint64_t n, Rng& rng) const {
    const auto d = static_cast<std::size_t>(dim_);
    if (n == 0) return PointBatch::with_capacity(0, d);
    if (d == 0) return std::unexpected(SampleError::mcmc_failed());
    auto batch = PointBatch::with_capacity(n, d);
    if (!batch) return batch;
    auto x = try_zero_vector(d);
    if (!x) return std::unexpected(SampleError::out_of_memory());
    for (std::uint64_t k = 0; k < n; ++k) {
      fill(rng, *x);
      batch->push_back(*x);
    }
    return batch;
  }

  [[nodiscard]] std::expected<PointBatch, SampleError> sample_n(std::uint64_t n) const {
    return sample_n_with_rng(n, thread_rng());
  }

  [[nodiscard]] std::uint64_t dim() const { return dim_; }
  [[nodiscard]] const F& factorization() const { return factorization_; }

 private:
  void fill(Rng& rng, std::span<double> x) const {
    for (std::size_t i = 0; i < x.size(); ++i) {
      x[i] = factorization_.sample_i(rng, i, std::span<const double>(x.data(), i));
    }
  }

  F factorization_;
  std::uint64_t dim_;
};

}  // namespace varlix
