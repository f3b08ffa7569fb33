#include "error.hpp"

#include <string>

namespace varlix::py {
namespace {

// The qualified names differ from the module attributes on purpose: the
// classes are _varlix.BuildError and _varlix.SampleError to the module, but
// their own __name__ says BuildErrorPy / SampleErrorPy.
PyObject* exception_class(PyObject*& cache, const char* qualified_name) {
  if (cache == nullptr) {
    cache = PyErr_NewExceptionWithDoc(qualified_name, nullptr, PyExc_RuntimeError, nullptr);
  }
  return cache;
}

PyObject* build_error_class() {
  static PyObject* cache = nullptr;
  return exception_class(cache, "_varlix.BuildErrorPy");
}

PyObject* sample_error_class() {
  static PyObject* cache = nullptr;
  return exception_class(cache, "_varlix.SampleErrorPy");
}

bool add_exception(PyObject* module, const char* attribute, PyObject* exception) {
  return exception != nullptr && PyModule_AddObjectRef(module, attribute, exception) == 0;
}

// Formatted when the error is mapped; the exception instance is made by the
// interpreter from the one str argument, so str(exc) is exactly the text.
PyObject* raise_core_error(PyObject* (*exception)(), const std::string& text) {
  PyObject* type = exception();
  if (type == nullptr) return nullptr;
  return set_error(type, text);
}

}  // namespace

bool register_exceptions(PyObject* module) {
  return add_exception(module, "BuildError", build_error_class()) &&
         add_exception(module, "SampleError", sample_error_class());
}

PyObject* map_build_err(const BuildError& error) {
  if (error.kind() == BuildError::Kind::OutOfMemory) return PyErr_NoMemory();
  return raise_core_error(build_error_class, error.message());
}

PyObject* map_sample_err(const SampleError& error) {
  if (error.kind() == SampleError::Kind::OutOfMemory) return PyErr_NoMemory();
  return raise_core_error(sample_error_class, error.message());
}

PyObject* set_error(PyObject* type, std::string_view text) {
  const Ref message =
      Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

std::optional<TdrTransform> parse_tdr_transform(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lowered == "inv_sqrt" || lowered == "inv-sqrt" || lowered == "invsqrt") return TdrTransform::InvSqrt;
  if (lowered == "log") return TdrTransform::Log;
  set_error(PyExc_ValueError, "unknown TDR transform '" + lowered + "', expected 'log' or 'inv_sqrt'");
  return std::nullopt;
}

}  // namespace varlix::py
