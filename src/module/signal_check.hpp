// Letting a pending signal (Ctrl-C) stop a long call.
//
// CPython's own handler only notes that a signal arrived; the Python-level
// handler (for SIGINT, the one that raises KeyboardInterrupt) runs when
// someone calls PyErr_CheckSignals. The interpreter loop does so between
// bytecodes, so native code that runs long without Python code has to ask
// itself, at points where it can stop cleanly. The question costs a load and
// a branch when no signal arrived. It must be asked with the GIL held, which
// every call of this module holds throughout; off the main thread it always
// answers no.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/interrupt.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// Pending signals as a core Interrupt. When a handler raises, the operation
// is asked to stop and the handler's exception stays pending: the caller
// takes it with fetch_error() when the core reports Interrupted, so the
// exception the handler raised is the one the call raises.
class SignalInterrupt final : public Interrupt {
 public:
  bool requested() override { return PyErr_CheckSignals() != 0; }
};

// Numbers a conversion reads between two checks for signals: a few
// microseconds of work for the fastest conversion, so the check costs
// nothing measurable and a signal is noticed at once.
inline constexpr std::size_t kElementsPerSignalCheck = std::size_t{1} << 14;

// Counts the numbers a conversion has read and checks for signals each time
// another kElementsPerSignalCheck have been read.
class SignalPoll {
 public:
  // Fails with the exception a signal handler raised.
  PyResult<void> advance(std::size_t elements) {
    unchecked_ += elements;
    if (unchecked_ < kElementsPerSignalCheck) {
      return {};
    }
    unchecked_ = 0;
    if (PyErr_CheckSignals() != 0) {
      return fetch_error();
    }
    return {};
  }

 private:
  std::size_t unchecked_ = 0;
};

}  // namespace halqen::py
