// Module initialization and the float-list conversion.
#include "lib.hpp"

#include <binding/error.hpp>

namespace varlix::py {

std::optional<std::vector<double>> extract_f64_list(PyObject* object) {
  std::vector<double> values;
  const bool complete = for_each_item(object, [&values](PyObject* item) {
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred() != nullptr) return false;
    values.push_back(value);
    return true;
  });
  if (!complete) return std::nullopt;
  return values;
}

bool add_functions(PyObject* module, PyMethodDef* functions) {
  return PyModule_AddFunctions(module, functions) == 0;
}

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_varlix",
    "",
    // Not -1: a repeated import must reach PyInit__varlix (and be refused
    // there) instead of receiving a copy of the first module's dictionary,
    // whose type objects belong to the first initialization.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialize() {
  // The type objects and exception classes are process-wide and made once.
  static bool attempted = false;
  static PyObject* module = nullptr;
  if (attempted) {
    return set_error(PyExc_ImportError, "_varlix can be initialized only once per process");
  }
  attempted = true;
  set_extension_name("_varlix");
  Ref created = Ref::steal(PyModule_Create(&module_def));
  if (!created || !register_exceptions(created.get()) || !register_continuous(created.get()) ||
      !register_discrete(created.get()) || !register_multivar(created.get())) {
    return nullptr;
  }
  module = created.release();  // kept for the life of the process
  return Py_NewRef(module);
}

}  // namespace
}  // namespace varlix::py

PyMODINIT_FUNC PyInit__varlix() {
  return varlix::py::guarded(varlix::py::initialize);
}
