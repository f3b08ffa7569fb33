// The normalized density of a model that has one: the view through which the
// sampler's TDR hat, Newton polish and statistics read the density.
#pragma once

#include <concepts>

#include "continuous/traits.hpp"

namespace varlix {

// A model with a density: an IntegratedPdf, whose adaptor gives the density
// up to the normalizer.
template <class D>
concept DensityModel = Cdf<D> && Supported<D> && requires(const D& d, double x) {
  { d.pdf().pdf(x) } -> std::same_as<double>;
  { d.norm() } -> std::same_as<double>;
};

// The normalized density of a model, as a non-owning view: the adaptor's
// value divided by the normalizer, everywhere the adaptor answers.
template <DensityModel D>
class PdfBridge {
 public:
  explicit PdfBridge(const D& model) : model_(&model) {}

  [[nodiscard]] double pdf(double x) const { return model_->pdf().pdf(x) / model_->norm(); }
  [[nodiscard]] double lo() const { return model_->lo(); }
  [[nodiscard]] double hi() const { return model_->hi(); }

 private:
  const D* model_;
};

}  // namespace varlix
