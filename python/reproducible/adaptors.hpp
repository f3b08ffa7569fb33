// The adaptors through which _varlix's algorithms call user callables.
//
// An exception raised by user code never leaves an adaptor: it is fetched
// and discarded (KeyboardInterrupt and SystemExit too), and the adaptor
// returns NaN, or InversionFailed for a quantile function. The core treats
// that NaN by its own rules, so a failing user function reaches Python, if at
// all, as a core error. The interpreter's error indicator is always clear
// when an adaptor returns.
//
// Each adaptor is a cheap copyable handle around a SharedCallable; calls take
// the interpreter lock themselves (a no-op on the calling thread, which holds
// it).
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include <binding/callable.hpp>

#include <error.hpp>
#include <random.hpp>

namespace varlix::py {

// f(x) for a function of one double: densities, CDFs, derivatives, integrands.
class PyFloatFn {
 public:
  explicit PyFloatFn(Ref callable) : callable_(std::move(callable)) {}
  [[nodiscard]] double operator()(double x) const noexcept;

  [[nodiscard]] const SharedCallable& callable() const noexcept { return callable_; }

 private:
  SharedCallable callable_;
};

// f(x0, ..., xn-1), or failing that f([x0, ..., xn-1]): a density of n
// coordinates written either way works.
class PyNdFn {
 public:
  PyNdFn(Ref callable, std::size_t dim) : callable_(std::move(callable)), dim_(dim) {}
  [[nodiscard]] double operator()(std::span<const double> x) const noexcept;
  [[nodiscard]] std::size_t dim() const noexcept { return dim_; }

  [[nodiscard]] const SharedCallable& callable() const noexcept { return callable_; }

 private:
  SharedCallable callable_;
  std::size_t dim_;
};

// q(u) of a quantile function; a failed call is InversionFailed, while a NaN
// or infinite value it returns passes as a success.
class PyPpfFn {
 public:
  explicit PyPpfFn(Ref callable) : callable_(std::move(callable)) {}
  [[nodiscard]] std::expected<double, SampleError> operator()(double u) const noexcept;

  [[nodiscard]] const SharedCallable& callable() const noexcept { return callable_; }

 private:
  SharedCallable callable_;
};

// f(i, [x0, ..., xd-1]): a new value of coordinate i from its full
// conditional at the current point (Gibbs sweeps). The dimension is the
// box's; the generator is not used, all randomness is the user's.
class PyConditionalCoord {
 public:
  PyConditionalCoord(Ref callable, std::size_t dim) : callable_(std::move(callable)), dim_(dim) {}
  [[nodiscard]] std::size_t dim() const noexcept { return dim_; }
  [[nodiscard]] double sample_coord(Rng& rng, std::size_t i, std::span<const double> x) const noexcept;

  [[nodiscard]] const SharedCallable& callable() const noexcept { return callable_; }

 private:
  SharedCallable callable_;
  std::size_t dim_;
};

// f(i, [x0, ..., xi-1]): coordinate i drawn given the ones before it. The
// generator is not used.
class PyFactorFn {
 public:
  explicit PyFactorFn(Ref callable) : callable_(std::move(callable)) {}
  [[nodiscard]] double sample_i(Rng& rng, std::size_t i, std::span<const double> prefix) const noexcept;

  [[nodiscard]] const SharedCallable& callable() const noexcept { return callable_; }

 private:
  SharedCallable callable_;
};

}  // namespace varlix::py
