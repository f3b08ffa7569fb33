// The gradient of a log-density that does not know its own, by central
// differences: 2d + 1 calls per point, the fallback for gradient samplers
// on a function of values only. Each half-width is the cube root of the
// double epsilon relative to the coordinate (log_density.hpp), which
// balances truncation against rounding; the result carries about two
// thirds of the digits of the function.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "multivar/log_density.hpp"

namespace varlix {

template <LogDensityNd L>
class CentralDifferenceGradient {
 public:
  CentralDifferenceGradient(const L& f, std::size_t dim) : f_(&f), point_(dim) {}

  [[nodiscard]] double operator()(std::span<const double> x) const { return (*f_)(x); }

  // False only when the function reports failure through a failed()
  // member; a NaN beside x leaves a NaN in the gradient, which a sampler
  // treats as a divergence.
  [[nodiscard]] bool value_and_gradient(std::span<const double> x, std::span<double> g, double& value) const {
    value = (*f_)(x);
    if (failed()) return false;
    if (!std::isfinite(value)) return true;
    std::copy(x.begin(), x.end(), point_.begin());
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double h = difference_step(x[i]);
      point_[i] = x[i] + h;
      const double up = (*f_)(point_);
      point_[i] = x[i] - h;
      const double down = (*f_)(point_);
      point_[i] = x[i];
      g[i] = (up - down) / (h + h);
    }
    return !failed();
  }

 private:
  [[nodiscard]] bool failed() const {
    if constexpr (requires { f_->failed(); }) return f_->failed();
    return false;
  }

  const L* f_;
  mutable std::vector<double> point_;
};

}  // namespace varlix
