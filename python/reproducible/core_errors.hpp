// _varlix's core errors as Python exceptions: BuildError and SampleError
// values raise the module's own classes (set once, when the module is
// initialized), the OutOfMemory kinds MemoryError, and an interrupted batch
// the exception the interrupt left pending.
#pragma once

#include <binding/error.hpp>

#include <error.hpp>

namespace varlix::py {

// The classes raised for BuildError and SampleError values
// (borrowed; the module keeps them alive). Until set: RuntimeError.
void set_core_error_classes(PyObject* build_error, PyObject* sample_error);

// Each sets the pending Python exception for a core error and returns null,
// so that a binding function can `return map_sample_err(result.error());`.
// The OutOfMemory kinds become MemoryError; an interrupted batch returns null
// with the exception the interrupt left pending.
PyObject* map_build_err(const BuildError& error);
PyObject* map_sample_err(const SampleError& error);
}  // namespace varlix::py

namespace varlix {

// The same, chosen by the error's type: found by argument-dependent lookup
// from the framework's generic code, and by code generic over both.
inline PyObject* map_error(const BuildError& error) { return py::map_build_err(error); }
inline PyObject* map_error(const SampleError& error) { return py::map_sample_err(error); }

}  // namespace varlix
