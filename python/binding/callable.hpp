// What every extension's adaptors share when the core calls user callables.
//
// SharedCallable is a cheap copyable handle: the Python reference sits in one
// holder with an atomic count, shared by every core object built from it,
// and is dropped under the interpreter lock when the last copy goes. A
// Python instance built from such an object keeps a copy, to show the
// reference to the cycle collector. GilGuard takes the interpreter lock for a
// call from core code (a no-op on a thread inside one of the module's entry
// points, which holds it).
//
// How a user exception is treated is each extension's own documented rule,
// in its own adaptors.
#pragma once

#include <atomic>
#include <cstddef>

#include "error.hpp"
#include "ref.hpp"

namespace varlix::py {

// Holds the interpreter lock for one call into Python from core code. Inside
// an entry point of the module the thread already holds it; PyGILState_Ensure
// would only confirm that, at a quarter of the cost of calling a small Python
// function.
class GilGuard {
 public:
  GilGuard() noexcept : taken_(t_entry_depth == 0) {
    if (taken_) state_ = PyGILState_Ensure();
  }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;
  ~GilGuard() {
    if (taken_) PyGILState_Release(state_);
  }

 private:
  bool taken_;
  PyGILState_STATE state_{};
};

// A strong reference to one callable, shared by all copies.
class SharedCallable {
 public:
  explicit SharedCallable(Ref callable);
  SharedCallable(const SharedCallable& other) noexcept;
  SharedCallable(SharedCallable&& other) noexcept;
  SharedCallable& operator=(SharedCallable other) noexcept;
  ~SharedCallable();

  [[nodiscard]] PyObject* get() const noexcept { return holder_->callable; }

 private:
  struct Holder {
    std::atomic<std::size_t> count;
    PyObject* callable;
  };
  Holder* holder_;
};

}  // namespace varlix::py
