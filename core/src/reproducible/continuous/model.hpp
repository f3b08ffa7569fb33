// The continuous distribution as one value: a variant over the five kinds of
// model a user can build, each a ContinuousSampler over its CDF model.
#pragma once

#include <variant>

#include "continuous/cdf.hpp"
#include "continuous/histogram.hpp"
#include "continuous/sampler.hpp"
#include "continuous/truncated.hpp"

namespace varlix {

// The five kinds of distribution, over the user callable type F.
namespace models {
template <class F>
using FromPdf = ContinuousSampler<IntegratedPdf<PlainPdf<F>>>;
template <class F>
using FromCdf = ContinuousSampler<AffineCdf<F>>;
using FromHistogram = ContinuousSampler<IntegratedPdf<HistogramPdf>>;
template <class F>
using LocScalePdf = ContinuousSampler<IntegratedPdf<varlix::LocScalePdf<F>>>;
template <class F>
using TruncatedPdf = ContinuousSampler<IntegratedPdf<Truncated<PlainPdf<F>>>>;
}  // namespace models

template <class F>
using ContinuousModel = std::variant<models::FromPdf<F>, models::FromCdf<F>, models::FromHistogram,
                                     models::LocScalePdf<F>, models::TruncatedPdf<F>>;

}  // namespace varlix
