#include "callable.hpp"

#include <utility>

namespace varlix::py {

SharedCallable::SharedCallable(Ref callable) : holder_(new Holder{{1}, callable.release()}) {}

SharedCallable::SharedCallable(const SharedCallable& other) noexcept : holder_(other.holder_) {
  holder_->count.fetch_add(1, std::memory_order_relaxed);
}

SharedCallable::SharedCallable(SharedCallable&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}

SharedCallable& SharedCallable::operator=(SharedCallable other) noexcept {
  std::swap(holder_, other.holder_);
  return *this;
}

SharedCallable::~SharedCallable() {
  if (holder_ == nullptr || holder_->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  {
    // The last holder may go on any thread, with or without the lock.
    const GilGuard gil;
    Py_DECREF(holder_->callable);
  }
  delete holder_;
}

}  // namespace varlix::py
