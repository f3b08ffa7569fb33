// User functions as the engine's generators call them.
//
// The Python layer (varlix/_functions.py) classifies each user function and
// hands the engine a spec tuple:
//   ("native", capsule, user_data)   a C function double(double) or
//                                    double(double, void*), from a
//                                    scipy.LowLevelCallable or a numba cfunc;
//   ("vector", f, trampoline)        f takes and returns float64 arrays; the
//                                    trampoline(x_view, y_view) evaluates it on
//                                    a batch held in C memory;
//   ("scalar", f)                    f takes and returns one float.
// The engine turns that description into one of the adaptors below, and each engine
// function is written once, over all three, through with_function().
//
// A Python function that raises leaves its exception pending and returns
// NaN; every later call returns NaN without calling Python again, and the
// engine raises the pending exception unchanged once the core has stopped.
// Python adaptors need the interpreter lock; only NativeFn runs without it.
//
// A native function sees no signals, and one call may take a millisecond:
// engine code calls it through a StoppableFunction that asks the interpreter
// for an interrupt every few milliseconds, and once one is pending the
// function fails (NaN), so the core stops as for any failed function and the
// engine raises the pending KeyboardInterrupt.
#pragma once

#include <binding/callable.hpp>
#include <binding/interrupt.hpp>
#include <binding/pyclass.hpp>

#include <stop_poll.hpp>

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <variant>

namespace varlix::engine {

using py::Ref;
using py::SharedCallable;

class NativeFn {
 public:
  using Plain = double (*)(double);
  using WithData = double (*)(double, void*);

  // `owner` keeps the code and its user data alive (the LowLevelCallable).
  NativeFn(SharedCallable owner, Plain f) noexcept : owner_(std::move(owner)), plain_(f) {}
  NativeFn(SharedCallable owner, WithData f, void* data) noexcept
      : owner_(std::move(owner)), with_data_(f), data_(data) {}

  [[nodiscard]] double operator()(double x) const noexcept {
    return with_data_ != nullptr ? with_data_(x, data_) : plain_(x);
  }
  void show_to(py::OwnedCallables& owned) const { owned.push_back(owner_); }

 private:
  SharedCallable owner_;
  Plain plain_ = nullptr;
  WithData with_data_ = nullptr;
  void* data_ = nullptr;
};

class PyScalarFn {
 public:
  explicit PyScalarFn(SharedCallable f) noexcept : f_(std::move(f)) {}
  [[nodiscard]] double operator()(double x) const noexcept;
  void show_to(py::OwnedCallables& owned) const { owned.push_back(f_); }

 private:
  SharedCallable f_;
};

class PyVectorFn {
 public:
  PyVectorFn(SharedCallable f, SharedCallable trampoline) noexcept
      : f_(std::move(f)), trampoline_(std::move(trampoline)) {}
  // One point: the function itself with a float (a vectorized function
  // takes scalars too), cheaper than a batch of one.
  [[nodiscard]] double operator()(double x) const noexcept;
  // y = f(x) in one Python call; NaN everywhere when it fails.
  void eval_batch(std::span<const double> x, std::span<double> y) const noexcept;
  void show_to(py::OwnedCallables& owned) const {
    owned.push_back(f_);
    owned.push_back(trampoline_);
  }

 private:
  SharedCallable f_;
  SharedCallable trampoline_;
};

// The number a user function returned, as a double. Anything else (None, a
// string, an array of any other shape than ()) is refused: NaN comes back
// with a TypeError pending that names what came back and, when `x` is given,
// the point (a Python float) it came at. A failed call (null) gives NaN with
// the function's own exception left pending.
[[nodiscard]] double float_result(const Ref& result, PyObject* x) noexcept;

// No function (the slot of an optional one, and the value before conversion).
struct NoFunction {};

using AnyFunction = std::variant<NoFunction, NativeFn, PyScalarFn, PyVectorFn>;

// Binder kinds: a function spec tuple, and the same or None.
struct Function {
  using type = AnyFunction;
  static bool convert(PyObject* object, AnyFunction& out);
};
struct OptionalFunction {
  using type = AnyFunction;
  static constexpr const char* implicit_default = "None";
  static bool convert(PyObject* object, AnyFunction& out);
};

[[nodiscard]] inline bool is_present(const AnyFunction& f) { return !std::holds_alternative<NoFunction>(f); }

// True when calling `f` needs the interpreter lock.
[[nodiscard]] inline bool needs_python(const AnyFunction& f) {
  return std::holds_alternative<PyScalarFn>(f) || std::holds_alternative<PyVectorFn>(f);
}

// A native function as engine loops call it: one that answers interrupts.
using PolledNativeFn = StoppableFunction<NativeFn>;

[[nodiscard]] inline PolledNativeFn polled(const NativeFn& f) noexcept {
  return PolledNativeFn(f, py::interrupt_requested, nullptr);
}

// visitor(adaptor) with the concrete adaptor (a native one polled); `f`
// must be present. Every engine function is written once as such a visitor.
template <class Visitor>
decltype(auto) with_function(const AnyFunction& f, Visitor&& visitor) {
  using Result = decltype(visitor(std::declval<const PolledNativeFn&>()));
  return std::visit(
      [&](const auto& adaptor) -> Result {
        using A = std::remove_cvref_t<decltype(adaptor)>;
        if constexpr (std::is_same_v<A, NoFunction>) {
          std::unreachable();
        } else if constexpr (std::is_same_v<A, NativeFn>) {
          return visitor(polled(adaptor));
        } else {
          return visitor(adaptor);
        }
      },
      f);
}

// Any present function behind one type, for setup code: one instantiation
// of a builder serves all kinds (the per-call dispatch costs nanoseconds,
// nothing beside a density evaluation). An absent function gives NaN; a
// native one is polled. Draw loops use with_function instead, for a native
// function's full speed.
class DynamicFn {
 public:
  explicit DynamicFn(const AnyFunction& f) noexcept : f_(&f) {
    if (const auto* native = std::get_if<NativeFn>(f_)) native_.emplace(polled(*native));
  }
  [[nodiscard]] double operator()(double x) const noexcept {
    if (native_) return (*native_)(x);
    return std::visit(
        [x](const auto& adaptor) {
          using A = std::remove_cvref_t<decltype(adaptor)>;
          if constexpr (std::is_same_v<A, NoFunction> || std::is_same_v<A, NativeFn>) {
            return std::numeric_limits<double>::quiet_NaN();
          } else {
            return adaptor(x);
          }
        },
        *f_);
  }
  void eval_batch(std::span<const double> x, std::span<double> y) const noexcept {
    if (const auto* vector = std::get_if<PyVectorFn>(f_)) {
      vector->eval_batch(x, y);
      return;
    }
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = (*this)(x[i]);
  }

 private:
  const AnyFunction* f_;
  std::optional<PolledNativeFn> native_;
};

// The references an engine object shows to the collector: those of each
// present function (each adaptor's own handles, made for this object alone).
template <class... Functions>
[[nodiscard]] py::OwnedCallables callables_of(const Functions&... functions) {
  py::OwnedCallables owned;
  const auto add = [&owned](const AnyFunction& f) {
    std::visit(
        [&owned](const auto& adaptor) {
          if constexpr (!std::is_same_v<std::remove_cvref_t<decltype(adaptor)>, NoFunction>) {
            adaptor.show_to(owned);
          }
        },
        f);
  };
  (add(functions), ...);
  return owned;
}

}  // namespace varlix::engine
