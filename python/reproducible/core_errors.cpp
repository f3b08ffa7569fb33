#include "core_errors.hpp"

#include <string>

namespace varlix::py {
namespace {

PyObject* g_build_error = nullptr;
PyObject* g_sample_error = nullptr;

// Formatted when the error is mapped; the exception instance is made by the
// interpreter from the one str argument, so str(exc) is exactly the text.
PyObject* raise_core_error(PyObject* type, const std::string& text) {
  return set_error(type != nullptr ? type : PyExc_RuntimeError, text);
}

}  // namespace

void set_core_error_classes(PyObject* build_error, PyObject* sample_error) {
  g_build_error = build_error;
  g_sample_error = sample_error;
}

PyObject* map_build_err(const BuildError& error) {
  if (error.kind() == BuildError::Kind::OutOfMemory) return PyErr_NoMemory();
  return raise_core_error(g_build_error, error.message());
}

PyObject* map_sample_err(const SampleError& error) {
  switch (error.kind()) {
    case SampleError::Kind::OutOfMemory: return PyErr_NoMemory();
    case SampleError::Kind::Interrupted:
      // The stop callback saw the interrupt's exception raised; should it be
      // gone, the interrupt is still reported, never a partial result.
      if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
    default: return raise_core_error(g_sample_error, error.message());
  }
}

}  // namespace varlix::py
