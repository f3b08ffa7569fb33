// The mapping of core errors onto Python exceptions, and the guard that keeps
// C++ exceptions out of the interpreter. The exception classes and the name
// in fault reports belong to the extension module that links the framework;
// it sets them once, when it is initialized.
#pragma once

#include <new>
#include <stdexcept>
#include <string_view>

// Angle brackets: the core's error.hpp, found through the core's include
// directory rather than this file's own directory.
#include <error.hpp>

#include "ref.hpp"

namespace varlix::py {

// The module's name as fault reports give it ("internal fault in <name>");
// static storage. Until set: "the extension".
void set_extension_name(const char* name);

// The classes raised for the core's BuildError and SampleError values
// (borrowed; the module keeps them alive). Until set: RuntimeError.
void set_core_error_classes(PyObject* build_error, PyObject* sample_error);

// Each sets the pending Python exception for a core error and returns null,
// so that a binding function can `return map_sample_err(result.error());`.
// The OutOfMemory kinds become MemoryError; an interrupted batch returns null
// with the exception the interrupt left pending.
PyObject* map_build_err(const BuildError& error);
PyObject* map_sample_err(const SampleError& error);
// The same, chosen by the error's type (for code generic over both).
inline PyObject* map_error(const BuildError& error) { return map_build_err(error); }
inline PyObject* map_error(const SampleError& error) { return map_sample_err(error); }

// Sets `type` with `text` (any UTF-8, embedded NULs kept) and returns null.
PyObject* set_error(PyObject* type, std::string_view text);

// SystemError naming an internal fault of the module; returns null.
PyObject* internal_fault();

// How many entry points of the module are running on this thread. Above 0,
// the thread holds the interpreter lock (the binding never releases it, and
// user code that does takes it back before returning), so the callable
// adaptors need not ask the interpreter. The default TLS model on purpose:
// initial-exec would save a nanosecond per call but can make a late dlopen of
// the module fail once the process's static TLS reserve is used up.
inline thread_local constinit int t_entry_depth = 0;

class EntryScope {
 public:
  EntryScope() noexcept { ++t_entry_depth; }
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
  ~EntryScope() { --t_entry_depth; }
};

// Runs one entry point called by the interpreter (every function, method,
// constructor, getter and repr goes through it). A C++ exception must not
// unwind into C: allocation failures become MemoryError, anything else a
// SystemError naming an internal fault.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  const EntryScope scope;
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (...) {
    return internal_fault();
  }
}

}  // namespace varlix::py
