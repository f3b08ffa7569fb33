// What every family of the varlix._engine module shares: the SetupError
// exception, the argument kind for NumPy bit generators, releasing the
// interpreter lock, and the table bytes that pickling carries.
//
// Arrays cross as arrays (binding/array.hpp): C++ checks their element
// type, layout, writeability and lengths. The Python layer holds the bit
// generator's lock for every call that draws.
#pragma once

#include <binding/binder.hpp>
#include <binding/error.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <setup_error.hpp>
#include <uniform_source.hpp>

namespace varlix::engine {


// ---- families -----------------------------------------------------------------
// Each family adds its classes and functions to the module; module.cpp calls
// them in order. False with a Python error pending.
bool register_sampling(PyObject* module);
bool register_distributions(PyObject* module);
bool register_mcmc(PyObject* module);

// ---- errors -------------------------------------------------------------------

// Adds SetupError(RuntimeError) to the module.
[[nodiscard]] bool register_setup_error(PyObject* module);
// The class, once registered.
PyObject* setup_error_class();

// Raises a failed setup and returns null: the user's own exception when one
// is pending (a user function raised), MemoryError when memory ran out,
// SetupError with the core's message otherwise.
PyObject* raise_setup_error(const SetupError& error);

// ---- argument kinds -------------------------------------------------------------

// A NumPy bit generator's capsule ("BitGenerator"), as its C interface.
struct BitGen {
  using type = BitGenerator*;
  static bool convert(PyObject* object, BitGenerator*& out);
};

// ---- the interpreter lock -------------------------------------------------------

// Releases the interpreter lock for its lifetime when `release` is true
// (no Python function is called meanwhile).
class UnlockedIf {
 public:
  explicit UnlockedIf(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  UnlockedIf(const UnlockedIf&) = delete;
  UnlockedIf& operator=(const UnlockedIf&) = delete;
  ~UnlockedIf() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

 private:
  PyThreadState* state_;
};

// ---- table bytes ------------------------------------------------------------------

// The words of a table as bytes (native byte order: the bytes travel between
// processes of one machine type, as pickles of NumPy arrays do).
PyObject* bytes_of(std::span<const double> words);

// The words of a bytes object; absent with TypeError/ValueError pending.
struct Words {
  using type = std::vector<double>;
  static bool convert(PyObject* object, std::vector<double>& out);
};

}  // namespace varlix::engine
