#include "module/module_init.hpp"

#include <optional>
#include <type_traits>

#include "module/convert.hpp"
#include "module/module_state.hpp"
#include "module/py_kinds.hpp"

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

PyResult<void> publish_version(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", HALQEN_VERSION) != 0) {
    return fetch_error();
  }
  return {};
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

PyResult<void> publish_classes(PyObject* module, ClassHome home) {
  ModuleState& state = module_state();
  PyResult<void> published;
  kinds::IndexKinds::for_each([&]<class Core>(std::type_identity<Core>) {
    if (!published || PyKind<Core>::kHome != home) return;
    PyObject*& type = state.type_of<Core>();
    if (type == nullptr) {
      type = PyKind<Core>::create_type();
      if (type == nullptr) {
        published = fetch_error();
        return;
      }
    }
    published = publish(module, PyKind<Core>::kName, type);
  });
  return published;
}

PyResult<void> adopt_halqen_classes() {
  ModuleState& state = module_state();
  Ref halqen;
  PyResult<void> adopted;
  kinds::IndexKinds::for_each([&]<class Core>(std::type_identity<Core>) {
    PyObject*& type = state.type_of<Core>();
    if (!adopted || PyKind<Core>::kHome != ClassHome::Halqen || type != nullptr) return;
    if (!halqen) halqen = Ref::steal(PyImport_ImportModule("halqen"));
    if (!halqen) {
      adopted = fetch_error();
      return;
    }
    auto found = halqen_class(halqen.get(), PyKind<Core>::kName);
    if (!found) {
      adopted = std::unexpected(std::move(found).error());
      return;
    }
    type = found->release();
  });
  return adopted;
}

}  // namespace halqen::py
