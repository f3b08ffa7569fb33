// Why a group of chains stopped, as every chain sampler reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varlix {

// Why a run stopped: the chain, and the point and value that stopped it.
struct ChainFault {
  enum class Kind : std::uint8_t {
    NotANumber,        // the log-density was NaN (or the function failed)
    PositiveInfinity,  // the log-density was +inf
    OutsideSupport,    // a starting point has log-density -inf
    GradientFailed,    // the gradient function failed
    GradientNotFinite, // the gradient at a starting point is not finite
    BadState,          // a state row not made by init() for this dimension
    OutOfMemory,
  };
  Kind kind;
  std::size_t chain = 0;
  double value = 0.0;
  std::vector<double> point = {};
};

}  // namespace varlix
