#include "error.hpp"

#include <bit>
#include <cstdint>

namespace varlix {

std::string BuildError::message() const {
  switch (kind_) {
    case Kind::InvalidSupport: return "invalid support interval: " + std::string(detail_);
    case Kind::EmptySupport: return "discrete distribution has no support points";
    case Kind::NonPositiveMass: return "probability mass must be positive";
    case Kind::NonFinite: return "non-finite value in " + std::string(detail_);
    case Kind::NormalizationFailed: return "failed to normalize PDF on support";
    case Kind::InvalidScale: return "scale must be finite and positive";
    case Kind::InvalidHistogram: return "invalid histogram edges or counts";
    case Kind::TruncationOutsideSupport: return "truncation interval must lie inside base support";
    case Kind::InvalidDimension: return "invalid dimension";
    case Kind::InvalidPdfMax: return "pdf_max must be finite and positive";
    case Kind::TdrBuildFailed:
      return "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)";
    case Kind::OutOfMemory: return "out of memory";
  }
  return {};
}

std::string SampleError::message() const {
  switch (kind_) {
    case Kind::QuantileOutOfRange: return "quantile u=" + format_double(value_) + " not in (0, 1)";
    case Kind::InversionFailed: return "failed to invert CDF";
    case Kind::PdfRequired: return "operation requires an underlying PDF";
    case Kind::IntegrationFailed: return "numerical integration failed";
    case Kind::ConfidenceOutOfRange: return "confidence " + format_double(value_) + " must be in (0, 1)";
    case Kind::RejectionFailed: return "rejection sampler failed to accept";
    case Kind::TdrHatFailed: return "tdr failed to build hat function";
    case Kind::TdrSampleFailed: return "tdr failed to draw a sample";
    case Kind::McmcNotInitialized: return "mcmc sampler not initialized (call init)";
    case Kind::McmcFailed: return "mcmc sampler failed";
    case Kind::OutOfMemory: return "out of memory";
    case Kind::Interrupted: return "interrupted";
  }
  return {};
}

bool operator==(const SampleError& a, const SampleError& b) {
  return a.kind_ == b.kind_ &&
         std::bit_cast<std::uint64_t>(a.value_) == std::bit_cast<std::uint64_t>(b.value_);
}

std::string_view message(CopulaError error) {
  switch (error) {
    case CopulaError::InvalidCorrelation: return "InvalidCorrelation";
    case CopulaError::DimensionMismatch: return "DimensionMismatch";
  }
  return {};
}

}  // namespace varlix
