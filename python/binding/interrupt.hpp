// The stop callback a long batch asks between blocks of draws (the core's
// StopRequested): true once the interpreter has run a signal handler that
// raised, KeyboardInterrupt for Ctrl-C, which is then pending. Only for loops
// that call no Python code; a Python callable sees signals by itself.
#pragma once

#include "ref.hpp"

namespace varlix::py {

// Needs the interpreter lock (the binding holds it in every entry point).
// Off the main thread the interpreter runs no handlers, and this is false.
inline bool interrupt_pending() { return PyErr_CheckSignals() != 0; }

}  // namespace varlix::py
