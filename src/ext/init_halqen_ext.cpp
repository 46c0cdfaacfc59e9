// The companion module halqen_ext: functions over every index kind, and the
// classes of the kinds whose home it is. Its entry points are module-level
// functions (function_def in module/entry.hpp) listed in `functions` and
// named in __all__.
#include <Python.h>

#include <string_view>

#include "ext/batch_search.hpp"
#include "ext/persist.hpp"
#include "ext/pickling.hpp"
#include "ext/private_entries.hpp"
#include "ext/trimmed.hpp"
#include "module/entry.hpp"
#include "module/module_init.hpp"
#include "module/module_state.hpp"

namespace halqen::py {
namespace {

constexpr const char* kModuleDoc =
    "Functions over halqen's PyFlat and PyHNSW indexes, and the approximate GraphIndex.";

PyMethodDef functions[] = {
    function_def<write_index, kWriteIndex>("write_index", kWriteIndexDoc),
    function_def<read_index, kReadIndex>("read_index", kReadIndexDoc),
    function_def<serialize_index, kSerializeIndex>("serialize_index", kSerializeIndexDoc),
    function_def<deserialize_index, kDeserializeIndex>("deserialize_index", kDeserializeIndexDoc),
    function_def<search_batch, kSearchBatch>("search_batch", kSearchBatchDoc),
    function_def<search_ids, kSearchIds>("search_ids", kSearchIdsDoc),
    function_def<trimmed, kTrimmed>("trimmed", kTrimmedDoc),
    function_def<check_arguments, kCheckArguments>("__check_arguments", kCheckArgumentsDoc),
    function_def<heap_bytes, kHeapBytes>("__heap_bytes", kHeapBytesDoc),
    function_def<search_labelled, kSearchLabelled>("__search_labelled", kSearchLabelledDoc),
    {nullptr, nullptr, 0, nullptr},
};

// Lists every public function of the table in __all__; the private ones
// ("__" and a name) serve halqen_dask only.
PyResult<void> publish_functions(PyObject* module) {
  for (const PyMethodDef& function : functions) {
    if (function.ml_name == nullptr) {
      break;
    }
    if (std::string_view(function.ml_name).starts_with("__")) {
      continue;
    }
    Ref object = Ref::steal(PyObject_GetAttrString(module, function.ml_name));
    if (!object) {
      return fetch_error();
    }
    HALQEN_TRY_VOID(publish(module, function.ml_name, object.get()));
  }
  return {};
}

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
  HALQEN_TRY_VOID(publish_version(module.get()));
  HALQEN_TRY_VOID(publish_functions(module.get()));
  HALQEN_TRY_VOID(publish_classes(module.get(), ClassHome::HalqenExt));
  state.module = Ref::borrow(module.get()).release();
  if (auto registered = register_pickling(module.get()); !registered) {
    Py_CLEAR(state.module);
    return std::unexpected(std::move(registered).error());
  }
  return module;
}

}  // namespace
}  // namespace halqen::py

PyMODINIT_FUNC PyInit_halqen_ext(void) {
  return halqen::py::run_trapped([] { return halqen::py::initialise(); });
}
