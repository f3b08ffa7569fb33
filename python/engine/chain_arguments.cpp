#include "chain_arguments.hpp"

#include <cstring>

namespace varlix::engine {

bool sources_of(PyObject* list, std::size_t chains, std::vector<BitGeneratorSource>& out) {
  if (!PyList_Check(list) || static_cast<std::size_t>(PyList_Size(list)) != chains) {
    py::set_error(PyExc_ValueError, "one bit generator per chain is needed");
    return false;
  }
  for (std::size_t c = 0; c < chains; ++c) {
    BitGenerator* bits = nullptr;
    if (!BitGen::convert(PyList_GetItem(list, static_cast<Py_ssize_t>(c)), bits)) return false;
    out.emplace_back(*bits);
  }
  return true;
}

namespace {

bool refuse_array(const char* why) {
  py::set_error(PyExc_ValueError, why);
  return false;
}

}  // namespace

bool read_array_interface(PyObject* object, char kind, std::size_t size, void*& data, std::size_t& count) {
  const py::Ref interface = py::Ref::steal(PyObject_GetAttrString(object, "__array_interface__"));
  if (!interface || !PyDict_Check(interface.get())) {
    PyErr_Clear();
    return py::refuse_conversion(object, "ndarray");
  }
  PyObject* typestr = PyDict_GetItemString(interface.get(), "typestr");
  PyObject* shape = PyDict_GetItemString(interface.get(), "shape");
  PyObject* strides = PyDict_GetItemString(interface.get(), "strides");
  PyObject* address = PyDict_GetItemString(interface.get(), "data");
  if (typestr == nullptr || shape == nullptr || address == nullptr || !PyTuple_Check(shape) ||
      !PyTuple_Check(address) || PyTuple_Size(address) != 2) {
    return refuse_array("an array without a usable __array_interface__");
  }
  const char* type = PyUnicode_AsUTF8AndSize(typestr, nullptr);
  if (type == nullptr) return false;
  const char expected_size = static_cast<char>('0' + size);
  const bool native_order = type[0] == '<' || type[0] == '|' || type[0] == '=';
  const bool kind_ok = type[1] == kind || (kind == 'u' && type[1] == 'b');
  if (!native_order || !kind_ok || type[2] != expected_size || type[3] != '\0') {
    return refuse_array("an array of the wrong dtype reached the engine");
  }
  if (strides != nullptr && strides != Py_None) return refuse_array("an array that is not C-contiguous reached the engine");
  if (PyObject_IsTrue(PyTuple_GetItem(address, 1)) != 0) return refuse_array("a read-only array reached the engine");
  count = 1;
  for (Py_ssize_t i = 0; i < PyTuple_Size(shape); ++i) {
    const std::size_t n = PyLong_AsSize_t(PyTuple_GetItem(shape, i));
    if (PyErr_Occurred() != nullptr) return false;
    count *= n;
  }
  data = PyLong_AsVoidPtr(PyTuple_GetItem(address, 0));
  if (PyErr_Occurred() != nullptr) return false;
  if (data == nullptr && count > 0) return refuse_array("an array without data reached the engine");
  return true;
}

}  // namespace varlix::engine
