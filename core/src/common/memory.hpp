// Allocation that reports failure as a value. The core never lets an
// exception escape; a request too large for the machine (a Hermite grid or a
// batch of 10^12 draws) must come back as an error, not end the process.
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <vector>

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

}  // namespace varlix
