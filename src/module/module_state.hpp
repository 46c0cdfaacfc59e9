// Everything the boundary keeps between calls, in one place.
//
// Each extension module (.so) links its own copy of the boundary and so holds
// its own state. halqen creates the two classes; a companion module takes
// them from halqen, so that an instance passes between the modules.
// PanicException is kept in the interpreter's dict, where every module of the
// process finds the same class.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "module/py_err.hpp"

namespace halqen::py {

struct ModuleState {
  static constexpr std::int64_t kNoInterpreter = -1;

  // The first interpreter that imported the module; the state belongs to it alone.
  std::atomic<std::int64_t> owner_interpreter{kNoInterpreter};
  PyObject* module = nullptr;      // the module object, once initialised (owned)
  PyObject* flat_type = nullptr;   // PyFlat (owned)
  PyObject* hnsw_type = nullptr;   // PyHNSW (owned)
  PyObject* graph_type = nullptr;  // halqen_ext's GraphIndex, once created (owned)
  PyObject* panic_type = nullptr;  // PanicException once looked up (owned)
};

// This module's state.
ModuleState& module_state();

// ImportError unless the calling interpreter is the first that imported
// `module_name`: the state's objects belong to that interpreter.
PyResult<void> claim_interpreter(const char* module_name);

}  // namespace halqen::py
