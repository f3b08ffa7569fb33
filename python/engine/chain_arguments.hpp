// What the Markov-chain entry points share: one bit generator per chain,
// NumPy arrays (binding/array.hpp), compiled log-densities, and the result
// of a run.
#pragma once

#include <binding/array.hpp>
#include <binding/binder.hpp>
#include <binding/error.hpp>
#include <binding/ref.hpp>

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include <multivar/chain_fault.hpp>
#include <uniform_source.hpp>

#include "engine.hpp"

namespace varlix::engine {

// One uniform source per chain from a list of bit generator capsules;
// false with ValueError/TypeError pending.
bool sources_of(PyObject* list, std::size_t chains, std::vector<BitGeneratorSource>& out);

using F64Array = py::Array<double>;
using F64In = py::Array<const double>;
using I64Array = py::Array<std::int64_t>;
using ByteArray = py::Array<std::uint8_t>;

// A compiled log-density as varlix._functions.compiled_function gives it: a
// capsule named by its C signature; a LowLevelCallable's user data is the
// capsule's context.
struct CompiledLogDensity {
  void* code = nullptr;
  void* data = nullptr;
  bool with_data = false;  // the signature ends in void*
  bool joint = false;      // double(int, double*, double*[, void*]): writes the gradient
};

// Reads the capsule against the signatures the chains call; false with
// TypeError/ValueError pending.
bool compiled_log_density(PyObject* capsule, CompiledLogDensity& out);

// None on success; the pending exception of a user function; MemoryError;
// otherwise the fault tuple (kind, chain, point) the Python layer words.
PyObject* chain_result(const std::expected<void, ChainFault>& result);

}  // namespace varlix::engine
