// The halqen module: created once per process, it publishes the two classes.
#include <Python.h>

#include "module/classes.hpp"
#include "module/entry.hpp"
#include "module/module_init.hpp"
#include "module/module_state.hpp"

namespace halqen::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "halqen", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The classes are created once and kept in the state for the whole process.
PyResult<void> add_class(PyObject* module, const char* name, PyObject*& type,
                         PyObject* (*create_type)()) {
  if (type == nullptr) {
    type = create_type();
    if (type == nullptr) {
      return fetch_error();
    }
  }
  return publish(module, name, type);
}

PyResult<Ref> initialise() {
  HALQEN_TRY_VOID(claim_interpreter("halqen"));
  ModuleState& state = module_state();
  if (state.module != nullptr) {
    return Ref::borrow(state.module);
  }
  HALQEN_TRY_ASSIGN(Ref module, create_module(module_def));
  HALQEN_TRY_VOID(add_class(module.get(), "PyFlat", state.flat_type, create_flat_type));
  HALQEN_TRY_VOID(add_class(module.get(), "PyHNSW", state.hnsw_type, create_hnsw_type));
  state.module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace halqen::py

PyMODINIT_FUNC PyInit_halqen(void) {
  return halqen::py::run_trapped([] { return halqen::py::initialise(); });
}
