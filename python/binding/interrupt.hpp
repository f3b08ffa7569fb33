// The interpreter's answers to the core's stop questions (StopRequested of
// batch.hpp, StopQuestion of stop_poll.hpp): stop once a signal handler has
// raised (KeyboardInterrupt for Ctrl-C), which is then pending. Only native
// loops need them; a Python callable sees signals by itself.
#pragma once

#include "ref.hpp"

#include <atomic>
#include <cstdint>

namespace varlix::py {

// Needs the interpreter lock (the binding holds it in every entry point).
// Off the main thread the interpreter runs no handlers, and this is false.
inline bool interrupt_pending() { return PyErr_CheckSignals() != 0; }

// A StopQuestion for loops that may run without the interpreter lock: takes
// it for the moment of the question (the poll asks every few milliseconds,
// so the cost is out of sight). Any pending exception stops too, so that
// every poll of one call stops once one of them has seen the interrupt.
//
// `abandon`, when not null, is a byte another thread sets to 1 to stop a
// worker thread, which sees no signals: the loop then stops with
// KeyboardInterrupt("the run was abandoned") pending.
inline bool interrupt_requested(void* abandon) {
  const PyGILState_STATE state = PyGILState_Ensure();
  bool stop = PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
  if (!stop && abandon != nullptr &&
      std::atomic_ref<std::uint8_t>(*static_cast<std::uint8_t*>(abandon)).load(std::memory_order_relaxed) != 0) {
    PyErr_SetString(PyExc_KeyboardInterrupt, "the run was abandoned");
    stop = true;
  }
  PyGILState_Release(state);
  return stop;
}

}  // namespace varlix::py
