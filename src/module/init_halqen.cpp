// Module initialisation: creates the module once per process and publishes
// the two classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "module/classes.hpp"
#include "module/convert.hpp"
#include "module/entry.hpp"

namespace halqen::py {
namespace {

constexpr int kApiVersion = 1013;
constexpr std::int64_t kNoInterpreter = -1;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "halqen", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The first interpreter that imported the module; the module's state (its
// cached module and type objects) belongs to it alone.
std::atomic<std::int64_t> owner_interpreter{kNoInterpreter};
PyObject* cached_module = nullptr;

PyResult<Ref> module_all(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    if (!PyList_Check(all.get())) {
      return std::unexpected(downcast_error(all.get(), "PyList"));
    }
    return all;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
    return fetch_error();
  }
  PyErr_Clear();
  all = Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
    return fetch_error();
  }
  return all;
}

PyResult<void> add_class(PyObject* module, const char* name, PyObject* (*type_of)()) {
  PyObject* type = type_of();
  if (type == nullptr) {
    return fetch_error();
  }
  Ref all = HALQEN_TRY(module_all(module));
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) != 0 ||
      PyObject_SetAttrString(module, name, type) != 0) {
    return fetch_error();
  }
  return {};
}

PyResult<void> check_interpreter() {
  PyInterpreterState* state = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(state);
  if (id == -1 && PyErr_Occurred()) {
    return fetch_error();
  }
  std::int64_t expected = kNoInterpreter;
  if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return std::unexpected(
        PyErr::new_err(PyExc_ImportError,
                       "halqen does not support sub-interpreters: it can be imported only "
                       "in the interpreter that imported it first"));
  }
  return {};
}

PyResult<Ref> initialise() {
  HALQEN_TRY_VOID(check_interpreter());
  if (cached_module != nullptr) {
    return Ref::borrow(cached_module);
  }
  Ref module = Ref::steal(PyModule_Create2(&module_def, kApiVersion));
  if (!module) {
    return fetch_error();
  }
  HALQEN_TRY_VOID(add_class(module.get(), "PyFlat", flat_type));
  HALQEN_TRY_VOID(add_class(module.get(), "PyHNSW", hnsw_type));
  cached_module = Ref::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace halqen::py

PyMODINIT_FUNC PyInit_halqen(void) {
  return halqen::py::run_trapped([] { return halqen::py::initialise(); });
}
