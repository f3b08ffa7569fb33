// One way to evaluate a user function at many points.
//
// The generators of the varlix package call their function through
// evaluate(): a function that can take a whole batch (a NumPy-vectorized
// Python function, say) provides
//     void eval_batch(std::span<const double> x, std::span<double> y) const;
// and is called once per batch; any other is called point by point. Setup
// code gathers its points first (all nodes of an interval) so that batches
// are as large as the algorithm allows.
//
// A function that fails returns NaN (for a batch: NaN in the failed slots);
// the core stops at the first NaN it reads and reports it as a SetupError.
#pragma once

#include <cstddef>
#include <span>

namespace varlix {

template <class F>
concept BatchFunction = requires(const F& f, std::span<const double> x, std::span<double> y) {
  f.eval_batch(x, y);
};

// y[i] = f(x[i]) for every i; x.size() == y.size().
template <class F>
void evaluate(const F& f, std::span<const double> x, std::span<double> y) {
  if constexpr (BatchFunction<F>) {
    f.eval_batch(x, y);
  } else {
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = f(x[i]);
  }
}

}  // namespace varlix
