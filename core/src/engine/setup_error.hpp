// Why the setup of a generator failed, as a value.
//
// The generators of the varlix package (numerical inversion, transformed
// density rejection, ratio of uniforms, alias and guide tables) report every
// setup fault as a SetupError: a kind plus the point x and the value there
// where one applies. message() is the one text for each kind.
//
// A user function that failed (a Python exception) reaches the core as NaN
// and is reported as BadValue at its x; the binding raises the user's own
// exception instead whenever one is pending.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace varlix {

class SetupError {
 public:
  enum class Kind : std::uint8_t {
    BadValue,          // density (or pmf, CDF) negative, NaN or infinite at x
    NoMass,            // the function is zero everywhere it was looked at
    Divergent,         // the integral over the domain does not converge
    NotTConcave,       // the transformed density is not concave near x
    NotMonotone,       // a CDF that decreases near x
    ResolutionNotMet,  // the u-resolution was not reached within the interval budget
    BadTable,          // a stored table that fails its consistency checks
    OutOfMemory,
  };

  static constexpr SetupError bad_value(double x, double value) { return {Kind::BadValue, x, value}; }
  static constexpr SetupError no_mass() { return {Kind::NoMass}; }
  static constexpr SetupError divergent() { return {Kind::Divergent}; }
  static constexpr SetupError not_t_concave(double x) { return {Kind::NotTConcave, x}; }
  static constexpr SetupError not_monotone(double x) { return {Kind::NotMonotone, x}; }
  static constexpr SetupError resolution_not_met(double achieved) {
    return {Kind::ResolutionNotMet, 0.0, achieved};
  }
  static constexpr SetupError bad_table() { return {Kind::BadTable}; }
  static constexpr SetupError out_of_memory() { return {Kind::OutOfMemory}; }

  [[nodiscard]] constexpr Kind kind() const { return kind_; }
  [[nodiscard]] constexpr double x() const { return x_; }
  [[nodiscard]] constexpr double value() const { return value_; }
  [[nodiscard]] std::string message() const;

  friend constexpr bool operator==(const SetupError&, const SetupError&) = default;

 private:
  constexpr SetupError(Kind kind, double x = 0.0, double value = 0.0) : kind_(kind), x_(x), value_(value) {}
  Kind kind_;
  double x_;
  double value_;
};

// A density value a generator can use: finite and non-negative. NaN, the mark
// of a failed user function, is not; any other value is BadValue at its x.
[[nodiscard]] constexpr bool usable_density(double value) {
  return value >= 0.0 && value < std::numeric_limits<double>::infinity();
}

}  // namespace varlix
