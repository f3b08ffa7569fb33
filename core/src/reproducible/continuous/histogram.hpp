// The piecewise-constant density of a histogram: bin edges plus a weight per
// bin. It is integrated and inverted like any user density; nothing relies on
// its CDF being piecewise linear.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "error.hpp"

namespace varlix {

class HistogramPdf {
 public:
  // With `density` false the bin densities integrate to 1, with it true to
  // the sum of the counts; the counts array becomes the densities.
  [[nodiscard]] static std::expected<HistogramPdf, BuildError> build(std::vector<double> edges,
                                                                    std::vector<double> counts, bool density);

  // The density of the bin holding x (bins are closed on the left); 0 at and
  // beyond the last edge, below the first, and for NaN.
  [[nodiscard]] double pdf(double x) const;
  [[nodiscard]] double lo() const { return edges_.front(); }
  [[nodiscard]] double hi() const { return edges_.back(); }
  [[nodiscard]] std::span<const double> edges() const { return edges_; }
  [[nodiscard]] std::span<const double> densities() const { return densities_; }

 private:
  HistogramPdf(std::vector<double> edges, std::vector<double> densities);

  std::vector<double> edges_;
  std::vector<double> densities_;
};

}  // namespace varlix
