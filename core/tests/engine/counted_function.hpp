// Test functions of one double that count how they are called: point by
// point, or (BatchedFn) also in batches through eval_batch.
#pragma once

#include <cstddef>
#include <span>

namespace varlix::testing_functions {

using Fn = double (*)(double);

struct CountedFn {
  Fn f;
  mutable long calls = 0;
  double operator()(double x) const {
    ++calls;
    return f(x);
  }
};

struct BatchedFn {
  Fn f;
  mutable long calls = 0;
  mutable long batches = 0;
  double operator()(double x) const {
    ++calls;
    return f(x);
  }
  void eval_batch(std::span<const double> x, std::span<double> y) const {
    ++batches;
    calls += static_cast<long>(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = f(x[i]);
  }
};

}  // namespace varlix::testing_functions
