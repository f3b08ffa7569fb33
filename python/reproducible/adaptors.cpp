#include "adaptors.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include <binding/result.hpp>

namespace varlix::py {
namespace {

// The value of a failed user call: the one in-band signal the core knows.
constexpr double kFailedCall = std::numeric_limits<double>::quiet_NaN();
static_assert(std::bit_cast<std::uint64_t>(kFailedCall) >> 63 == 0, "a quiet NaN with a clear sign bit");

// The float value of a call's result; absent, with the error discarded, when
// the call raised or the result does not convert.
std::optional<double> float_result(const Ref& result) noexcept {
  if (!result) {
    PyErr_Clear();
    return std::nullopt;
  }
  const double value = PyFloat_AsDouble(result.get());
  // Only -1.0 can signal a failed conversion; a genuine -1.0 passes.
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return value;
}

// A call with one positional argument, itself a new reference or null.
Ref call_one(PyObject* callable, const Ref& argument) noexcept {
  if (!argument) return Ref();
  return Ref::steal(PyObject_CallFunctionObjArgs(callable, argument.get(), nullptr));
}

Ref float_tuple(std::span<const double> values) noexcept {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) return Ref();
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple;
}

// f(i, [values...]): the shape of both coordinate-callable kinds.
double call_index_list(PyObject* callable, std::size_t i, std::span<const double> values) noexcept {
  const GilGuard gil;
  const Ref index = Ref::steal(PyLong_FromSize_t(i));
  const Ref list = Ref::steal(to_py(values));
  Ref result;
  if (index && list) result = Ref::steal(PyObject_CallFunctionObjArgs(callable, index.get(), list.get(), nullptr));
  return float_result(result).value_or(kFailedCall);
}

}  // namespace

double PyFloatFn::operator()(double x) const noexcept {
  const GilGuard gil;
  const Ref argument = Ref::steal(PyFloat_FromDouble(x));
  return float_result(call_one(callable_.get(), argument)).value_or(kFailedCall);
}

double PyNdFn::operator()(std::span<const double> x) const noexcept {
  const GilGuard gil;
  {
    const Ref coordinates = float_tuple(x);
    Ref result;
    if (coordinates) result = Ref::steal(PyObject_Call(callable_.get(), coordinates.get(), nullptr));
    if (const auto value = float_result(result)) return *value;
  }
  const Ref list = Ref::steal(to_py(x));
  return float_result(call_one(callable_.get(), list)).value_or(kFailedCall);
}

std::expected<double, SampleError> PyPpfFn::operator()(double u) const noexcept {
  const GilGuard gil;
  const Ref argument = Ref::steal(PyFloat_FromDouble(u));
  if (const auto value = float_result(call_one(callable_.get(), argument))) return *value;
  return std::unexpected(SampleError::inversion_failed());
}

double PyConditionalCoord::sample_coord(Rng& /*rng*/, std::size_t i, std::span<const double> x) const noexcept {
  return call_index_list(callable_.get(), i, x);
}

double PyFactorFn::sample_i(Rng& /*rng*/, std::size_t i, std::span<const double> prefix) const noexcept {
  return call_index_list(callable_.get(), i, prefix);
}

}  // namespace varlix::py
