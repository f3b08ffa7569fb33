#include "setup_error.hpp"

#include "format_double.hpp"

#include <limits>

namespace varlix {

std::string SetupError::message() const {
  switch (kind_) {
    case Kind::BadValue:
      return "function value " + format_shortest(value_) + " at x = " + format_shortest(x_) +
             " is not a finite non-negative number";
    case Kind::NoMass: return "the density has no mass on the domain";
    case Kind::Divergent: return "the integral of the density over the domain does not converge";
    case Kind::NotTConcave:
      return "the transformed density is not concave near x = " + format_shortest(x_);
    case Kind::NotMonotone: return "the CDF decreases near x = " + format_shortest(x_);
    case Kind::ResolutionNotMet:
      // An error that is not a finite positive number was not measured: the
      // density's values overflow or vanish in double arithmetic.
      if (!(value_ > 0.0 && value_ < std::numeric_limits<double>::infinity())) {
        return "u-resolution not reached: the u-error cannot be measured, as the density's values are too "
               "large or too small for double precision; multiply the density by a constant";
      }
      return "u-resolution not reached within the interval limit (achieved " + format_shortest(value_) + ")";
    case Kind::BadTable: return "the stored table is inconsistent";
    case Kind::OutOfMemory: return "out of memory";
  }
  return "unknown setup error";
}

}  // namespace varlix
