// The halqen module: created once per process, it publishes the classes of
// the index kinds whose home it is (PyFlat, PyHNSW).
#include <Python.h>

#include "module/entry.hpp"
#include "module/module_init.hpp"
#include "module/module_state.hpp"

namespace halqen::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "halqen", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyResult<Ref> initialise() {
  HALQEN_TRY_VOID(claim_interpreter("halqen"));
  ModuleState& state = module_state();
  if (state.module != nullptr) {
    return Ref::borrow(state.module);
  }
  HALQEN_TRY_ASSIGN(Ref module, create_module(module_def));
  HALQEN_TRY_VOID(publish_classes(module.get(), ClassHome::Halqen));
  state.module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace halqen::py

PyMODINIT_FUNC PyInit_halqen(void) {
  return halqen::py::run_trapped([] { return halqen::py::initialise(); });
}
