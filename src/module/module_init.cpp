#include "module/module_init.hpp"

#include "module/convert.hpp"
#include "module/module_state.hpp"

namespace halqen::py {
namespace {

constexpr int kApiVersion = 1013;

PyResult<Ref> module_all(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    return fetch_error();
  }
  if (!PyList_Check(all.get())) {
    return std::unexpected(downcast_error(all.get(), "PyList"));
  }
  return all;
}

PyResult<Ref> halqen_class(PyObject* halqen, const char* name) {
  Ref type = Ref::steal(PyObject_GetAttrString(halqen, name));
  if (!type) {
    return fetch_error();
  }
  if (!PyType_Check(type.get())) {
    return std::unexpected(downcast_error(type.get(), "PyType"));
  }
  return type;
}

}  // namespace

PyResult<Ref> create_module(PyModuleDef& definition) {
  Ref module = Ref::steal(PyModule_Create2(&definition, kApiVersion));
  if (!module) {
    return fetch_error();
  }
  Ref all = Ref::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) {
    return fetch_error();
  }
  return module;
}

PyResult<void> publish(PyObject* module, const char* name, PyObject* object) {
  HALQEN_TRY_ASSIGN(Ref all, module_all(module));
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) != 0 ||
      PyObject_SetAttrString(module, name, object) != 0) {
    return fetch_error();
  }
  return {};
}

PyResult<void> adopt_halqen_classes() {
  ModuleState& state = module_state();
  if (state.flat_type != nullptr && state.hnsw_type != nullptr) {
    return {};
  }
  Ref halqen = Ref::steal(PyImport_ImportModule("halqen"));
  if (!halqen) {
    return fetch_error();
  }
  HALQEN_TRY_ASSIGN(Ref flat, halqen_class(halqen.get(), "PyFlat"));
  HALQEN_TRY_ASSIGN(Ref hnsw, halqen_class(halqen.get(), "PyHNSW"));
  state.flat_type = flat.release();
  state.hnsw_type = hnsw.release();
  return {};
}

}  // namespace halqen::py
