// Everything the boundary keeps between calls, in one place.
//
// Each extension module (.so) links its own copy of the boundary and so holds
// its own state. Each index class is created by the module its kind names
// (module/py_kind.hpp); the other module takes it from there, so that an
// instance passes between the modules.
// PanicException is kept in the interpreter's dict, where every module of the
// process finds the same class.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "kinds/index_kinds.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

struct ModuleState {
  static constexpr std::int64_t kNoInterpreter = -1;

  // The first interpreter that imported the module; the state belongs to it alone.
  std::atomic<std::int64_t> owner_interpreter{kNoInterpreter};
  PyObject* module = nullptr;  // the module object, once initialised (owned)
  // Each index kind's class, in the kind list's order (owned).
  std::array<PyObject*, kinds::IndexKinds::kCount> index_types{};
  PyObject* panic_type = nullptr;  // PanicException once looked up (owned)

  template <class Core>
  PyObject*& type_of() {
    return index_types[kinds::IndexKinds::position<Core>()];
  }
};

// This module's state.
ModuleState& module_state();

// ImportError unless the calling interpreter is the first that imported
// `module_name`: the state's objects belong to that interpreter.
PyResult<void> claim_interpreter(const char* module_name);

}  // namespace halqen::py
