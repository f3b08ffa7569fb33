#include "continuous/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace varlix {
namespace {

bool valid_shape(const std::vector<double>& edges, const std::vector<double>& counts) {
  return edges.size() >= 2 && edges.size() == counts.size() + 1;
}

bool valid_edges(const std::vector<double>& edges) {
  if (!std::ranges::all_of(edges, [](double e) { return std::isfinite(e); })) {
    return false;
  }
  return std::ranges::adjacent_find(edges, [](double a, double b) { return !(b > a); }) == edges.end();
}

// -0.0 passes: it is an empty bin.
bool valid_counts(const std::vector<double>& counts) {
  return std::ranges::all_of(counts, [](double c) { return std::isfinite(c) && c >= 0.0; });
}

}  // namespace

std::expected<HistogramPdf, BuildError> HistogramPdf::build(std::vector<double> edges, std::vector<double> counts,
                                                            bool density) {
  if (!valid_shape(edges, counts) || !valid_edges(edges) || !valid_counts(counts)) {
    return std::unexpected(BuildError::invalid_histogram());
  }
  // Starting from -0.0 keeps the sum of all -0.0 counts at -0.0.
  double total = -0.0;
  for (const double c : counts) {
    total += c;
  }
  if (total <= 0.0) {
    return std::unexpected(BuildError::normalization_failed());
  }
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const double width = edges[i + 1] - edges[i];
    counts[i] = density ? counts[i] / width : counts[i] / (width * total);
  }
  return HistogramPdf(std::move(edges), std::move(counts));
}

HistogramPdf::HistogramPdf(std::vector<double> edges, std::vector<double> densities)
    : edges_(std::move(edges)), densities_(std::move(densities)) {}

double HistogramPdf::pdf(double x) const {
  if (!(x >= edges_.front() && x < edges_.back())) {
    return 0.0;
  }
  // The last edge not above x opens x's bin, as a scan from the first bin
  // would find, since the edges strictly increase.
  const auto bin = std::ranges::upper_bound(edges_, x) - edges_.begin() - 1;
  return densities_[static_cast<std::size_t>(bin)];
}

}  // namespace varlix
