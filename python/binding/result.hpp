// Results back to Python: each returns a new reference, or null with a
// Python error pending. A core result carrying an error raises it.
//
//   double -> float; bool -> True/False; std::uint64_t -> int;
//   span/vector of double -> list of floats; of vectors -> list of lists;
//   pair of doubles -> 2-tuple; empty optional -> None;
//   std::expected<T, Error> -> to_py(T), or map_error(error) (each
//     extension maps its own error types; see error.hpp);
//   std::expected<void, ...> -> None or the mapped error.
#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "ref.hpp"

namespace varlix::py {

PyObject* to_py(double value);
PyObject* to_py(std::uint64_t value);
PyObject* to_py(std::span<const double> values);
PyObject* to_py(std::span<const std::vector<double>> rows);
PyObject* to_py(std::pair<double, double> pair);

// A template, so that an int or a pointer cannot slip in as a bool.
template <std::same_as<bool> B>
PyObject* to_py(B value) {
  return Py_NewRef(value ? Py_True : Py_False);
}

template <class T>
PyObject* to_py(const std::optional<T>& value) {
  if (!value) return Py_NewRef(Py_None);
  return to_py(*value);
}

template <class T, class Error>
PyObject* to_py(const std::expected<T, Error>& result) {
  if (!result) return map_error(result.error());
  return to_py(*result);
}

template <class Error>
PyObject* to_py(const std::expected<void, Error>& result) {
  if (!result) return map_error(result.error());
  return Py_NewRef(Py_None);
}

}  // namespace varlix::py
