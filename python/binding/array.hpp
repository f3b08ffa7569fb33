// Typed arrays across the boundary: an argument kind that takes a NumPy array
// (or anything exposing __array_interface__ version 3) as a span of its
// elements. The limited API of 3.10 has no buffer protocol, so the interface
// dict is what C++ reads; from it the kind checks what an address alone
// could not carry: the element type, C-contiguity, alignment, writeability
// for outputs, and the length, which the span then holds. The argument keeps
// a reference to the array for the call.
//
//   constexpr auto kPpf = signature("ppf", arg<Array<const double>>("u"), arg<Array<double>>("out"));
//   PyObject* ppf(const Core& core, ArrayRef<const double> u, ArrayRef<double> out) {
//     if (!same_length("u", u.size(), "out", out.size())) return nullptr;
//     ...
//   }
//
// Array<const T> reads; Array<T> also writes, so it refuses a read-only array.
// A refused array raises TypeError naming what was expected and what came.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "ref.hpp"

namespace varlix::py {

// The elements an argument array holds, and the reference that keeps them.
template <class T>
class ArrayRef {
 public:
  ArrayRef() noexcept = default;
  ArrayRef(Ref owner, std::span<T> values) noexcept : owner_(std::move(owner)), values_(values) {}

  [[nodiscard]] std::span<T> span() const noexcept { return values_; }
  [[nodiscard]] std::size_t size() const noexcept { return values_.size(); }
  [[nodiscard]] T* data() const noexcept { return values_.data(); }

 private:
  Ref owner_;
  std::span<T> values_;
};

// What read_array checks an array against.
struct ArrayDemand {
  const char* typestr;  // the interface's typestr in native byte order, e.g. "<f8"
  const char* name;     // for messages: "float64"
  std::size_t item_size;
  std::size_t alignment;
  bool writeable;
};

// The data address and element count of `object`, or false with TypeError
// pending saying why it does not fit the demand.
bool read_array(PyObject* object, const ArrayDemand& demand, void*& data, std::size_t& size);

template <class T>
struct ArrayElement;
template <>
struct ArrayElement<double> {
  static constexpr const char* name = "float64";
  static constexpr const char* typestr = std::endian::native == std::endian::little ? "<f8" : ">f8";
};
template <>
struct ArrayElement<std::int64_t> {
  static constexpr const char* name = "int64";
  static constexpr const char* typestr = std::endian::native == std::endian::little ? "<i8" : ">i8";
};

template <>
struct ArrayElement<std::uint8_t> {
  static constexpr const char* name = "uint8";
  static constexpr const char* typestr = "|u1";
};

template <class T>
struct Array {
  using element = std::remove_const_t<T>;
  using type = ArrayRef<T>;
  static bool convert(PyObject* object, type& out) {
    const ArrayDemand demand{ArrayElement<element>::typestr, ArrayElement<element>::name, sizeof(element),
                             alignof(element), !std::is_const_v<T>};
    void* data = nullptr;
    std::size_t size = 0;
    if (!read_array(object, demand, data, size)) return false;
    out = ArrayRef<T>(Ref::borrow(object), std::span<T>(static_cast<T*>(data), size));
    return true;
  }
};

// True when the lengths agree; else ValueError "{a} and {b} differ in length
// ({na} and {nb})" and false.
bool same_length(const char* a, std::size_t na, const char* b, std::size_t nb);

}  // namespace varlix::py
