// Raising Python errors, and the guard that keeps C++ exceptions out of the
// interpreter. The name in fault reports belongs to the extension module that
// links the framework; it sets it once, when it is initialized. How a core
// error value becomes an exception is each extension's own mapping: generic
// code here (to_py of a std::expected, the class helper's constructors) calls
// map_error(error), found by argument-dependent lookup beside the error type.
#pragma once

#include <new>
#include <stdexcept>
#include <string_view>

#include "ref.hpp"

namespace varlix::py {

// The module's name as fault reports give it ("internal fault in <name>");
// static storage. Until set: "the extension".
void set_extension_name(const char* name);

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
