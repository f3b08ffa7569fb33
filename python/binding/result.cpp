#include "result.hpp"

namespace varlix::py {
namespace {

// A new list of `count` items made by make_item(i) (a new reference or null).
template <class MakeItem>
PyObject* make_list(std::size_t count, MakeItem&& make_item) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = make_item(i);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace

PyObject* to_py(double value) { return PyFloat_FromDouble(value); }

PyObject* to_py(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_py(std::span<const double> values) {
  return make_list(values.size(), [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

PyObject* to_py(std::span<const std::vector<double>> rows) {
  return make_list(rows.size(), [&](std::size_t i) { return to_py(std::span<const double>(rows[i])); });
}

PyObject* to_py(std::pair<double, double> pair) {
  const Ref first = Ref::steal(PyFloat_FromDouble(pair.first));
  const Ref second = Ref::steal(PyFloat_FromDouble(pair.second));
  if (!first || !second) return nullptr;
  return PyTuple_Pack(2, first.get(), second.get());
}

}  // namespace varlix::py
