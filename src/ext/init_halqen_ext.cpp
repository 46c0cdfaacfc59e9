// The companion module halqen_ext: functions over halqen's indexes. Its
// entry points are module-level functions (function_def in module/entry.hpp)
// listed in `functions` and named in __all__.
#include <Python.h>

#include "module/entry.hpp"
#include "module/module_init.hpp"
#include "module/module_state.hpp"

namespace halqen::py {
namespace {

constexpr const char* kModuleDoc = "Functions over halqen's PyFlat and PyHNSW indexes.";

PyMethodDef functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "halqen_ext",
    kModuleDoc,
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyResult<Ref> initialise() {
  HALQEN_TRY_VOID(claim_interpreter("halqen_ext"));
  ModuleState& state = module_state();
  if (state.module != nullptr) {
    return Ref::borrow(state.module);
  }
  HALQEN_TRY_VOID(adopt_halqen_classes());
  HALQEN_TRY_ASSIGN(Ref module, create_module(module_def));
  state.module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace halqen::py

PyMODINIT_FUNC PyInit_halqen_ext(void) {
  return halqen::py::run_trapped([] { return halqen::py::initialise(); });
}
