// Error values of the numerical core.
//
// Nothing in the core throws: every fallible operation returns
// std::expected<T, BuildError> (construction) or std::expected<T, SampleError>
// (evaluation and sampling). The errors are small trivially copyable values: a
// tag plus at most one double or one static text, so they can travel up any
// number of frames for free. Each type has exactly one display operation, and
// those texts are what Python users read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace varlix {

// Shortest decimal that reads back to the same double, in positional notation
// (never an exponent), without a trailing ".0"; NaN, inf, -inf, -0 spelled so.
// Every double shown to users goes through here.
[[nodiscard]] std::string format_double(double value);

// Shortest decimal that reads back to the same double, in the shorter of the
// positional and the exponent form, as Python's repr writes it (1e-300,
// 0.25, 1e+300, nan, inf). The generators' setup messages use it: a tiny or
// huge value is not a string of hundreds of zeros.
[[nodiscard]] std::string format_shortest(double value);

class BuildError {
 public:
  enum class Kind : std::uint8_t {
    InvalidSupport,
    EmptySupport,
    NonPositiveMass,
    NonFinite,
    NormalizationFailed,
    InvalidScale,
    InvalidHistogram,
    TruncationOutsideSupport,
    InvalidDimension,
    InvalidPdfMax,
    TdrBuildFailed,
    // Not one of the numerical failures: a table or batch too large for the
    // machine's memory. The binding raises MemoryError for it.
    OutOfMemory,
  };

  // `detail` must have static storage duration: the error only points at it.
  static constexpr BuildError invalid_support(std::string_view detail) {
    return BuildError{Kind::InvalidSupport, detail};
  }
  static constexpr BuildError non_finite(std::string_view detail) {
    return BuildError{Kind::NonFinite, detail};
  }
  static constexpr BuildError empty_support() { return BuildError{Kind::EmptySupport}; }
  static constexpr BuildError non_positive_mass() { return BuildError{Kind::NonPositiveMass}; }
  static constexpr BuildError normalization_failed() { return BuildError{Kind::NormalizationFailed}; }
  static constexpr BuildError invalid_scale() { return BuildError{Kind::InvalidScale}; }
  static constexpr BuildError invalid_histogram() { return BuildError{Kind::InvalidHistogram}; }
  static constexpr BuildError truncation_outside_support() {
    return BuildError{Kind::TruncationOutsideSupport};
  }
  static constexpr BuildError invalid_dimension() { return BuildError{Kind::InvalidDimension}; }
  static constexpr BuildError invalid_pdf_max() { return BuildError{Kind::InvalidPdfMax}; }
  static constexpr BuildError tdr_build_failed() { return BuildError{Kind::TdrBuildFailed}; }
  static constexpr BuildError out_of_memory() { return BuildError{Kind::OutOfMemory}; }

  [[nodiscard]] constexpr Kind kind() const { return kind_; }
  [[nodiscard]] constexpr std::string_view detail() const { return detail_; }
  [[nodiscard]] std::string message() const;

  friend constexpr bool operator==(const BuildError&, const BuildError&) = default;

 private:
  constexpr explicit BuildError(Kind kind, std::string_view detail = {}) : kind_(kind), detail_(detail) {}
  Kind kind_;
  std::string_view detail_;
};

class SampleError {
 public:
  enum class Kind : std::uint8_t {
    QuantileOutOfRange,
    InversionFailed,
    PdfRequired,
    IntegrationFailed,
    ConfidenceOutOfRange,
    RejectionFailed,
    TdrHatFailed,
    TdrSampleFailed,
    McmcNotInitialized,
    McmcFailed,
    // See BuildError::Kind::OutOfMemory.
    OutOfMemory,
    // Not a failure either: the caller asked a batch to stop (see batch.hpp).
    // The binding re-raises the exception the interrupt left pending.
    Interrupted,
  };

  static constexpr SampleError quantile_out_of_range(double u) {
    return SampleError{Kind::QuantileOutOfRange, u};
  }
  static constexpr SampleError confidence_out_of_range(double c) {
    return SampleError{Kind::ConfidenceOutOfRange, c};
  }
  static constexpr SampleError inversion_failed() { return SampleError{Kind::InversionFailed}; }
  static constexpr SampleError pdf_required() { return SampleError{Kind::PdfRequired}; }
  static constexpr SampleError integration_failed() { return SampleError{Kind::IntegrationFailed}; }
  static constexpr SampleError rejection_failed() { return SampleError{Kind::RejectionFailed}; }
  static constexpr SampleError tdr_hat_failed() { return SampleError{Kind::TdrHatFailed}; }
  static constexpr SampleError tdr_sample_failed() { return SampleError{Kind::TdrSampleFailed}; }
  static constexpr SampleError mcmc_not_initialized() { return SampleError{Kind::McmcNotInitialized}; }
  static constexpr SampleError mcmc_failed() { return SampleError{Kind::McmcFailed}; }
  static constexpr SampleError out_of_memory() { return SampleError{Kind::OutOfMemory}; }
  static constexpr SampleError interrupted() { return SampleError{Kind::Interrupted}; }

  [[nodiscard]] constexpr Kind kind() const { return kind_; }
  [[nodiscard]] constexpr double value() const { return value_; }
  [[nodiscard]] std::string message() const;

  // Bitwise comparison of the payload, so that NaN payloads compare equal.
  friend bool operator==(const SampleError& a, const SampleError& b);

 private:
  constexpr explicit SampleError(Kind kind, double value = 0.0) : kind_(kind), value_(value) {}
  Kind kind_;
  double value_;
};

enum class CopulaError : std::uint8_t { InvalidCorrelation, DimensionMismatch };

[[nodiscard]] std::string_view message(CopulaError error);

static_assert(std::is_trivially_copyable_v<BuildError>);
static_assert(std::is_trivially_copyable_v<SampleError>);

}  // namespace varlix
