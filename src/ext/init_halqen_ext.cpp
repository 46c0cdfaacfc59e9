// The companion module halqen_ext: functions over halqen's indexes.
#include <Python.h>

#include "module/entry.hpp"

namespace halqen::py {
namespace {

constexpr int kApiVersion = 1013;
constexpr const char* kModuleDoc = "Functions over halqen's PyFlat and PyHNSW indexes.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "halqen_ext", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyResult<Ref> initialise() {
  Ref module = Ref::steal(PyModule_Create2(&module_def, kApiVersion));
  if (!module) {
    return fetch_error();
  }
  Ref all = Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) {
    return fetch_error();
  }
  return module;
}

}  // namespace
}  // namespace halqen::py

PyMODINIT_FUNC PyInit_halqen_ext(void) {
  return halqen::py::run_trapped([] { return halqen::py::initialise(); });
}
