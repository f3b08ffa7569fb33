#include "error.hpp"

#include <string>

namespace varlix::py {
namespace {

// Per module: every extension links its own copy of the framework.
const char* g_extension_name = "the extension";
PyObject* g_build_error = nullptr;
PyObject* g_sample_error = nullptr;

// Formatted when the error is mapped; the exception instance is made by the
// interpreter from the one str argument, so str(exc) is exactly the text.
PyObject* raise_core_error(PyObject* type, const std::string& text) {
  return set_error(type != nullptr ? type : PyExc_RuntimeError, text);
}

}  // namespace

void set_extension_name(const char* name) { g_extension_name = name; }

void set_core_error_classes(PyObject* build_error, PyObject* sample_error) {
  g_build_error = build_error;
  g_sample_error = sample_error;
}

PyObject* internal_fault() {
  return set_error(PyExc_SystemError, std::string("internal fault in ") + g_extension_name);
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

PyObject* set_error(PyObject* type, std::string_view text) {
  const Ref message =
      Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace varlix::py
