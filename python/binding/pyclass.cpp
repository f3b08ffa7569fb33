#include "pyclass.hpp"

#include <atomic>

namespace varlix::py {

std::uint64_t current_thread_serial() {
  static constinit std::atomic<std::uint64_t> next_serial{1};
  thread_local constinit std::uint64_t serial = 0;
  if (serial == 0) serial = next_serial.fetch_add(1, std::memory_order_relaxed);
  return serial;
}

void refuse_borrow(bool exclusive) {
  set_error(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
}

PyObject* refuse_cleared(const char* class_name) {
  return PyErr_Format(PyExc_RuntimeError, "%s was cleared by the garbage collector", class_name);
}

PyObject* refuse_foreign_thread(const char* type_path) {
  return PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but sent to another thread", type_path);
}

void report_foreign_drop(const char* type_path) {
  // Deallocation can run while an exception is being raised; keep it intact.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread", type_path);
  // The dying instance itself is not handed to the hook, which could keep it.
  PyErr_WriteUnraisable(nullptr);
  PyErr_Restore(type, value, traceback);
}

}  // namespace varlix::py
