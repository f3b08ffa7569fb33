#include "point_batch.hpp"

namespace varlix {

PyObject* to_py(const PointBatch& batch) {
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    PyObject* row = py::to_py(batch[i]);
    if (row == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);  // steals row
  }
  return list.release();
}

}  // namespace varlix
