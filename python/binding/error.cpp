#include "error.hpp"

#include <string>

namespace varlix::py {
namespace {

// Per module: every extension links its own copy of the framework.
const char* g_extension_name = "the extension";

}  // namespace

void set_extension_name(const char* name) { g_extension_name = name; }

PyObject* internal_fault() {
  return set_error(PyExc_SystemError, std::string("internal fault in ") + g_extension_name);
}

PyObject* set_error(PyObject* type, std::string_view text) {
  const Ref message =
      Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace varlix::py
