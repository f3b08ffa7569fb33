// The module frame: what lib.cpp offers the class and function files, and
// the registration step each of them provides.
#pragma once

#include <optional>
#include <vector>

#include <binding/ref.hpp>

namespace varlix::py {

// The floats of any iterable, in iteration order, each read by the
// interpreter's float conversion. Absent with the interpreter's own error
// pending (never prefixed with an argument name).
[[nodiscard]] std::optional<std::vector<double>> extract_f64_list(PyObject* object);

// Adds a null-terminated table of module functions (static storage).
[[nodiscard]] bool add_functions(PyObject* module, PyMethodDef* functions);

// Adds BuildError and SampleError to the module (creating the classes on
// first use) and makes them the classes raised for core errors. False with a
// Python error pending.
[[nodiscard]] bool register_exceptions(PyObject* module);

// Each adds its classes and functions to the module in their documented
// order; false with a Python error pending. Called by PyInit__varlix in this
// order.
[[nodiscard]] bool register_continuous(PyObject* module);
[[nodiscard]] bool register_discrete(PyObject* module);
[[nodiscard]] bool register_multivar(PyObject* module);

}  // namespace varlix::py
