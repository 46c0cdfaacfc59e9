// The `threads` argument of the calls that run on worker threads, and the
// workers it gives.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "module/convert.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// How many worker threads to use, at least 1.
struct ThreadCount {
  std::size_t value;
};

// ValueError "threads must be at least 1, got {n}" below 1.
template <>
struct FromPython<ThreadCount> {
  static PyResult<ThreadCount> convert(PyObject* o);
};

// The workers for a call: the usable CPUs by default, else the count asked
// for, capped at a few per usable CPU.
std::size_t worker_threads(const std::optional<ThreadCount>& threads);

}  // namespace halqen::py
