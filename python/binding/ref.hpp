// Owning handle on a Python reference, and iteration built on it.
//
// Every reference the binding takes lives in a Ref, so that each exit path,
// error returns included, releases what it took. A Ref must only be created,
// copied and destroyed while the interpreter lock is held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace varlix::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (the result of most C-API calls); null stays null.
  [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a new reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (a C-API call that steals, or a return value).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Calls on_item(PyObject* borrowed) for each item of iter(object) until it
// returns false. False when iteration or on_item failed (a Python error is
// then pending), true when the iterator was exhausted.
template <class OnItem>
[[nodiscard]] bool for_each_item(PyObject* object, OnItem&& on_item) {
  const Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (const Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!on_item(item.get())) return false;
  }
  return PyErr_Occurred() == nullptr;
}

}  // namespace varlix::py
