// Allocation that reports failure as a value. The core never lets an
// exception escape; a request too large for the machine (a Hermite grid or a
// batch of 10^12 draws) must come back as an error, not end the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <new>
#include <stdexcept>
#include <vector>

#include "error.hpp"

namespace varlix {

template <class T>
[[nodiscard]] bool try_reserve(std::vector<T>& v, std::size_t n) noexcept {
  try {
    v.reserve(n);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

template <class T>
[[nodiscard]] bool try_resize(std::vector<T>& v, std::size_t n) noexcept {
  try {
    v.resize(n);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

// n values of draw() in order: all of them, or the first failure. The storage
// is taken before the first draw, so a batch too large to hold is refused
// without drawing.
template <class Draw>
[[nodiscard]] std::expected<std::vector<double>, SampleError> collect_draws(std::uint64_t n, Draw&& draw) {
  std::vector<double> draws;
  if (!try_reserve(draws, n)) {
    return std::unexpected(SampleError::out_of_memory());
  }
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::expected<double, SampleError> x = draw();
    if (!x) {
      return std::unexpected(x.error());
    }
    draws.push_back(*x);
  }
  return draws;
}

}  // namespace varlix
