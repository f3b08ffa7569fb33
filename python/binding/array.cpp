#include "array.hpp"

#include <limits>
#include <string>

#include "binder.hpp"
#include "error.hpp"

namespace varlix::py {
namespace {

// The interface's names, interned once per process: a call reads six of
// them, and building each from C text again is a measurable share of a
// small call.
struct InterfaceNames {
  PyObject* interface = PyUnicode_InternFromString("__array_interface__");
  PyObject* typestr = PyUnicode_InternFromString("typestr");
  PyObject* mask = PyUnicode_InternFromString("mask");
  PyObject* data = PyUnicode_InternFromString("data");
  PyObject* shape = PyUnicode_InternFromString("shape");
  PyObject* strides = PyUnicode_InternFromString("strides");

  [[nodiscard]] bool ready() const {
    return interface != nullptr && typestr != nullptr && mask != nullptr && data != nullptr && shape != nullptr &&
           strides != nullptr;
  }
};

// Null with MemoryError pending when the names could not be made.
const InterfaceNames* interface_names() {
  static const InterfaceNames names;  // kept for the life of the process
  if (!names.ready()) {
    PyErr_NoMemory();
    return nullptr;
  }
  return &names;
}

bool refuse(PyObject* object, const ArrayDemand& demand, const char* why) {
  std::string expected = "expected a C-contiguous ";
  expected += demand.writeable ? "writeable " : "";
  expected += demand.name;
  expected += " array";
  if (why != nullptr) {
    set_error(PyExc_TypeError, expected + ", got " + why);
    return false;
  }
  const Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (name) PyErr_Format(PyExc_TypeError, "%s, got '%S'", expected.c_str(), name.get());
  return false;
}

// The element count of a C-contiguous shape with the given strides (None:
// C-contiguous by the interface's rule); false when not contiguous or too big.
bool contiguous_count(PyObject* shape, PyObject* strides, std::size_t item_size, std::size_t& count) {
  if (!PyTuple_Check(shape)) return false;
  const Py_ssize_t ndim = PyTuple_Size(shape);
  const bool given = strides != nullptr && strides != Py_None;
  if (given && (!PyTuple_Check(strides) || PyTuple_Size(strides) != ndim)) return false;
  std::size_t total = 1;
  for (Py_ssize_t i = 0; i < ndim; ++i) {
    const Py_ssize_t extent = PyLong_AsSsize_t(PyTuple_GetItem(shape, i));
    if (extent < 0) return false;
    if (extent != 0 && total > std::numeric_limits<std::size_t>::max() / static_cast<std::size_t>(extent)) {
      return false;
    }
    total *= static_cast<std::size_t>(extent);
  }
  if (given && total > 0) {
    // NumPy may state strides of a contiguous array; they must be C's own
    // wherever the extent exceeds 1.
    std::size_t expected = item_size;
    for (Py_ssize_t i = ndim - 1; i >= 0; --i) {
      const Py_ssize_t extent = PyLong_AsSsize_t(PyTuple_GetItem(shape, i));
      const Py_ssize_t stride = PyLong_AsSsize_t(PyTuple_GetItem(strides, i));
      if (stride == -1 && PyErr_Occurred() != nullptr) return false;
      if (extent > 1 && stride != static_cast<Py_ssize_t>(expected)) return false;
      expected *= static_cast<std::size_t>(extent);
    }
  }
  count = total;
  return true;
}

}  // namespace

bool read_array(PyObject* object, const ArrayDemand& demand, void*& data, std::size_t& size) {
  const InterfaceNames* names = interface_names();
  if (names == nullptr) return false;
  const Ref interface = Ref::steal(PyObject_GetAttr(object, names->interface));
  if (!interface) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return refuse(object, demand, nullptr);
  }
  if (!PyDict_Check(interface.get())) return refuse(object, demand, "a malformed __array_interface__");
  PyObject* typestr = PyDict_GetItem(interface.get(), names->typestr);  // borrowed
  if (typestr == nullptr || !PyUnicode_Check(typestr) ||
      PyUnicode_CompareWithASCIIString(typestr, demand.typestr) != 0) {
    if (typestr != nullptr && PyUnicode_Check(typestr)) {
      const char* text = PyUnicode_AsUTF8AndSize(typestr, nullptr);
      if (text == nullptr) return false;
      const std::string why = std::string("elements of type '") + text + "'";
      return refuse(object, demand, why.c_str());
    }
    return refuse(object, demand, "an array without a type");
  }
  PyObject* mask = PyDict_GetItem(interface.get(), names->mask);
  if (mask != nullptr && mask != Py_None) return refuse(object, demand, "a masked array");
  PyObject* address = PyDict_GetItem(interface.get(), names->data);
  if (address == nullptr || !PyTuple_Check(address) || PyTuple_Size(address) != 2) {
    return refuse(object, demand, "an array whose data is not at a stated address");
  }
  std::size_t count = 0;
  if (!contiguous_count(PyDict_GetItem(interface.get(), names->shape), PyDict_GetItem(interface.get(), names->strides),
                        demand.item_size, count)) {
    if (PyErr_Occurred() != nullptr) return false;
    return refuse(object, demand, "a non-contiguous array");
  }
  const int readonly = PyObject_IsTrue(PyTuple_GetItem(address, 1));
  if (readonly < 0) return false;
  if (readonly != 0 && demand.writeable) return refuse(object, demand, "a read-only array");
  void* pointer = PyLong_AsVoidPtr(PyTuple_GetItem(address, 0));
  if (pointer == nullptr && PyErr_Occurred() != nullptr) return false;
  if (pointer == nullptr && count > 0) return refuse(object, demand, "an array without data");
  if (reinterpret_cast<std::uintptr_t>(pointer) % demand.alignment != 0) {
    return refuse(object, demand, "an unaligned array");
  }
  data = pointer;
  size = count;
  return true;
}

bool same_length(const char* a, std::size_t na, const char* b, std::size_t nb) {
  if (na == nb) return true;
  set_error(PyExc_ValueError, std::string(a) + " and " + b + " differ in length (" + std::to_string(na) + " and " +
                                  std::to_string(nb) + ")");
  return false;
}

}  // namespace varlix::py
