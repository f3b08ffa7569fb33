// Arguments the Markov-chain entry points share: one bit generator per
// chain, and NumPy arrays handed over as typed views.
#pragma once

#include <binding/binder.hpp>
#include <binding/error.hpp>
#include <binding/ref.hpp>

#include <cstdint>
#include <span>
#include <vector>

#include <uniform_source.hpp>

#include "engine.hpp"

namespace varlix::engine {

// One uniform source per chain from a list of bit generator capsules;
// false with ValueError/TypeError pending.
bool sources_of(PyObject* list, std::size_t chains, std::vector<BitGeneratorSource>& out);

// A writeable, C-contiguous NumPy array of T (float64, int64 or uint8),
// read through __array_interface__ (the limited API has no buffer
// protocol); the view holds a reference to the array. Checked here, so that
// no wrong dtype, layout or length can reach the core as a bare address.
template <class T>
struct ArrayArg {
  struct View {
    py::Ref owner;
    std::span<T> data;
  };
  using type = View;
  static bool convert(PyObject* object, View& out);
};

// The element type's array-interface letter and size ("<f8" and the like,
// byte order aside).
bool read_array_interface(PyObject* object, char kind, std::size_t size, void*& data, std::size_t& count);

template <class T>
bool ArrayArg<T>::convert(PyObject* object, View& out) {
  constexpr char kind = std::is_floating_point_v<T> ? 'f' : (std::is_signed_v<T> ? 'i' : 'u');
  void* data = nullptr;
  std::size_t count = 0;
  if (!read_array_interface(object, kind, sizeof(T), data, count)) return false;
  out.owner = py::Ref::borrow(object);
  out.data = std::span<T>(static_cast<T*>(data), count);
  return true;
}

}  // namespace varlix::engine
