#include "setup_error.hpp"

#include "error.hpp"

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
      return "u-resolution not reached within the interval limit (achieved " + format_shortest(value_) + ")";
    case Kind::BadTable: return "the stored table is inconsistent";
    case Kind::OutOfMemory: return "out of memory";
  }
  return "unknown setup error";
}

}  // namespace varlix
