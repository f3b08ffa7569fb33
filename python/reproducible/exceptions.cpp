// The module's exception classes: _varlix.BuildError and _varlix.SampleError.
#include <binding/error.hpp>
#include "core_errors.hpp"

#include "lib.hpp"

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

}  // namespace

bool register_exceptions(PyObject* module) {
  if (!add_exception(module, "BuildError", build_error_class()) ||
      !add_exception(module, "SampleError", sample_error_class())) {
    return false;
  }
  // The classes live as long as the process (the caches hold them).
  set_core_error_classes(build_error_class(), sample_error_class());
  return true;
}

}  // namespace varlix::py
