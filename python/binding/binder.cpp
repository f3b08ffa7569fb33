#include "binder.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace varlix::py {
namespace {

std::string display_name(const ParamList& params) {
  std::string name;
  if (params.owner != nullptr) {
    name += params.owner;
    name += '.';
  }
  name += params.name;
  name += "()";
  return name;
}

std::size_t required_count(const ParamList& params) {
  std::size_t count = 0;
  while (count < params.defaults.size() && params.defaults[count] == nullptr) ++count;
  return count;
}

bool too_many_positional(const ParamList& params, Py_ssize_t given) {
  const std::size_t required = required_count(params);
  const std::size_t total = params.names.size();
  std::string message = display_name(params) + " takes ";
  if (required == total) {
    message += std::to_string(total);
  } else {
    message += "from " + std::to_string(required) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  set_error(PyExc_TypeError, message);
  return false;
}

bool bind_positional(const ParamList& params, Py_ssize_t nargs) {
  return static_cast<std::size_t>(nargs) <= params.names.size() || too_many_positional(params, nargs);
}

bool bind_keyword(const ParamList& params, PyObject* keyword, PyObject* value, PyObject** slots) {
  for (std::size_t i = 0; i < params.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, params.names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      set_error(PyExc_TypeError,
                display_name(params) + " got multiple values for argument '" + params.names[i] + "'");
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_name(params).c_str(),
               keyword);
  return false;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string join_names(const std::vector<const char*>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) joined += ',';
      joined += (i + 1 == names.size()) ? " and " : " ";
    }
    joined += '\'';
    joined += names[i];
    joined += '\'';
  }
  return joined;
}

bool check_missing(const ParamList& params, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < params.names.size(); ++i) {
    if (slots[i] == nullptr && params.defaults[i] == nullptr) missing.push_back(params.names[i]);
  }
  if (missing.empty()) return true;
  set_error(PyExc_TypeError, display_name(params) + " missing " + std::to_string(missing.size()) +
                                 " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                                 ": " + join_names(missing));
  return false;
}

// Reads a default's Python text: the whole text must be the number.
template <class T, class Parse>
bool parse_number(const char* text, T& out, Parse parse) {
  char* end = nullptr;
  errno = 0;
  const auto value = parse(text, &end);
  if (errno != 0 || end == text || *end != '\0' || value > std::numeric_limits<T>::max()) {
    PyErr_Format(PyExc_SystemError, "bad default text '%s'", text);
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  const Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  const Ref name = Ref::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

// collections.abc.Sequence, imported once and kept for the process.
PyObject* sequence_abc() {
  static PyObject* abc = nullptr;
  if (abc == nullptr) {
    const Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (module) abc = PyObject_GetAttrString(module.get(), "Sequence");
  }
  return abc;
}

// A failing instance test (an import failure, or an object whose class
// lookup raises) must not replace the conversion message, so it is reported
// as unraisable and the object is refused.
bool is_registered_sequence(PyObject* object) {
  PyObject* abc = sequence_abc();
  const int result = abc == nullptr ? -1 : PyObject_IsInstance(object, abc);
  if (result < 0) {
    PyErr_WriteUnraisable(object);
    return false;
  }
  return result == 1;
}

}  // namespace

bool refuse_conversion(PyObject* object, const char* target) {
  const Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (name) PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", name.get(), target);
  return false;
}

bool Float::convert(PyObject* object, double& out) {
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool Float::parse_default(const char* text, double& out) { return parse_number(text, out, std::strtod); }

bool U64::convert(PyObject* object, std::uint64_t& out) {
  // The unsigned conversion accepts only int itself; __index__ comes first.
  const Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool U64::parse_default(const char* text, std::uint64_t& out) {
  return parse_number(text, out, [](const char* s, char** end) { return std::strtoull(s, end, 10); });
}

bool U32::convert(PyObject* object, std::uint32_t& out) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<std::uint32_t>::max()) {
    set_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool U32::parse_default(const char* text, std::uint32_t& out) {
  return parse_number(text, out, [](const char* s, char** end) { return std::strtoul(s, end, 10); });
}

bool Bool::convert(PyObject* object, bool& out) {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  if (!is_numpy_bool(object)) return refuse_conversion(object, "PyBool");
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth == 1;
  return true;
}

bool Bool::parse_default(const char* text, bool& out) {
  out = std::strcmp(text, "True") == 0;
  if (out || std::strcmp(text, "False") == 0) return true;
  PyErr_Format(PyExc_SystemError, "bad default text '%s'", text);
  return false;
}

bool Str::convert(PyObject* object, std::string& out) {
  if (!PyUnicode_Check(object)) return refuse_conversion(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool Any::convert(PyObject* object, Ref& out) {
  out = Ref::borrow(object);
  return true;
}

bool Sequence::convert(PyObject* object, Ref& out) {
  if (!PyList_Check(object) && !PyTuple_Check(object) && !is_registered_sequence(object)) {
    return refuse_conversion(object, "Sequence");
  }
  out = Ref::borrow(object);
  return true;
}

bool check_list_source(PyObject* object) {
  if (PyUnicode_Check(object)) {
    set_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  return PySequence_Check(object) == 1 || refuse_conversion(object, "Sequence");
}

std::size_t length_hint(PyObject* object) {
  const Py_ssize_t size = PySequence_Size(object);
  if (size >= 0) return static_cast<std::size_t>(size);
  PyErr_Clear();
  return 0;
}

bool bind_vectorcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) {
  if (!bind_positional(params, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    if (!bind_keyword(params, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) return false;
  }
  return check_missing(params, slots);
}

bool bind_tuple(const ParamList& params, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0 || !bind_positional(params, nargs)) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      if (!bind_keyword(params, keyword, value, slots)) return false;
    }
  }
  return check_missing(params, slots);
}

void prefix_argument_error(const char* param_name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref type_ref = Ref::steal(type);
  Ref cause = Ref::steal(value);
  const Ref traceback_ref = Ref::steal(traceback);
  if (traceback_ref) PyException_SetTraceback(cause.get(), traceback_ref.get());

  const Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", param_name, cause.get()));
  if (!message) return;
  const Ref error = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!error) return;
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, error.get());
}

std::string text_signature(std::string_view name, bool with_self, std::span<const char* const> names,
                           std::span<const char* const> defaults) {
  std::string text(name);
  text += '(';
  if (with_self) text += "$self";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0 || with_self) text += ", ";
    text += names[i];
    if (defaults[i] != nullptr) {
      text += '=';
      text += defaults[i];
    }
  }
  text += ")\n--\n\n";
  return text;
}

}  // namespace varlix::py
