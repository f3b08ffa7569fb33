#include "discrete/custom.hpp"

#include <cmath>
#include <utility>

#include "batch.hpp"
#include "search.hpp"

namespace varlix {
namespace {

// Distance below which pmf(x) counts x as one of the points: absorbs the
// rounding of a point written as a decimal literal, far below any spacing a
// caller would give distinct points.
constexpr double kPointMatchTolerance = 1e-12;

[[nodiscard]] bool usable_mass(double mass) { return std::isfinite(mass) && !(mass < 0.0); }

}  // namespace

std::expected<DiscreteSampler, BuildError> DiscreteSampler::from_pmf(std::vector<double> points,
                                                                    std::vector<double> pmf) {
  if (points.empty() || pmf.empty()) return std::unexpected(BuildError::empty_support());
  if (points.size() != pmf.size()) {
    return std::unexpected(BuildError::invalid_support("points and pmf must have the same length"));
  }
  for (const double mass : pmf) {
    if (!usable_mass(mass)) return std::unexpected(BuildError::non_positive_mass());
  }
  double total = -0.0;
  for (const double mass : pmf) total += mass;
  if (!std::isfinite(total) || !(total > 0.0)) return std::unexpected(BuildError::normalization_failed());

  // The masses are not needed once the table exists, so it is built in place.
  double running = 0.0;
  for (double& entry : pmf) {
    running += entry / total;
    entry = running;
  }
  pmf.back() = 1.0;
  return DiscreteSampler(std::move(points), std::move(pmf));
}

std::expected<double, SampleError> DiscreteSampler::ppf(double u) const {
  if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
  // Never past the end: the last entry is exactly 1 and u < 1.
  const std::size_t answer = cumulative_index(cumulative_, u);
  return points_[answer];
}

std::expected<double, SampleError> DiscreteSampler::sample() const { return sample_with_rng(thread_rng()); }

std::expected<double, SampleError> DiscreteSampler::sample_with_rng(Rng& rng) const {
  return ppf(standard_uniform(rng));
}

std::expected<std::vector<double>, SampleError> DiscreteSampler::sample_n(std::uint64_t n) const {
  return sample_n_with_rng(n, thread_rng());
}

std::expected<std::vector<double>, SampleError> DiscreteSampler::sample_n_with_rng(std::uint64_t n, Rng& rng,
                                                                                   StopRequested stop) const {
  return collect_draws(n, [&] { return sample_with_rng(rng); }, stop);
}

double DiscreteSampler::pmf(double x) const {
  for (std::size_t i = 0; i < points_.size(); ++i) {
    if (std::fabs(points_[i] - x) < kPointMatchTolerance) return mass(i);
  }
  return 0.0;
}

std::optional<double> DiscreteSampler::pmf_at(std::size_t index) const {
  if (index >= size()) return std::nullopt;
  return mass(index);
}

std::optional<double> DiscreteSampler::cdf_at(std::size_t index) const {
  if (index >= size()) return std::nullopt;
  return cumulative_[index];
}

double DiscreteSampler::mean() const {
  double mean = points_[0] * cumulative_[0];
  for (std::size_t i = 1; i < points_.size(); ++i) mean += mass(i) * points_[i];
  return mean;
}

double DiscreteSampler::var() const {
  const double m = mean();
  double var = 0.0;
  for (std::size_t i = 0; i < points_.size(); ++i) {
    const double d = points_[i] - m;
    var += d * d * mass(i);
  }
  return var;
}

double DiscreteSampler::std() const { return std::sqrt(var()); }

}  // namespace varlix
