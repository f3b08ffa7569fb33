// The histogram builder: the one sampler builder that is not a template.
#include "continuous/sampler.hpp"

namespace varlix {

std::expected<ContinuousSampler<IntegratedPdf<HistogramPdf>>, BuildError> from_histogram(
    std::vector<double> edges, std::vector<double> counts, bool density, const SamplerOptions& opts) {
  auto pdf = HistogramPdf::build(std::move(edges), std::move(counts), density);
  if (!pdf) {
    return std::unexpected(pdf.error());
  }
  return from_pdf(std::move(*pdf), opts);
}

}  // namespace varlix
