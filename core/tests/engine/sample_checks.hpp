// Helpers shared by the statistical tests of the sampling generators.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "uniform_source.hpp"

namespace varlix::sample_checks {

// Kolmogorov-Smirnov distance between a sample and a CDF.
template <class Cdf>
double ks_distance(std::vector<double> xs, const Cdf& cdf) {
  std::sort(xs.begin(), xs.end());
  const double n = static_cast<double>(xs.size());
  double d = 0.0;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const double f = cdf(xs[i]);
    d = std::max({d, f - static_cast<double>(i) / n, static_cast<double>(i + 1) / n - f});
  }
  return d;
}

// Critical KS distance at level 0.001: a correct sampler with a fixed seed
// stays below it, a wrong law of any visible size does not.
inline double ks_limit(std::size_t n) { return 1.95 / std::sqrt(static_cast<double>(n)); }

// A uniform source that replays a list, then repeats its last value.
class ListSource {
 public:
  explicit ListSource(std::vector<double> values) : values_(std::move(values)) {}
  double next_double() { return values_[std::min(pos_++, values_.size() - 1)]; }

 private:
  std::vector<double> values_;
  std::size_t pos_ = 0;
};
static_assert(UniformSource<ListSource>);

}  // namespace varlix::sample_checks
