#include "ext/pickling.hpp"

#include "ext/persist.hpp"
#include "module/entry.hpp"
#include "module/module_state.hpp"

namespace halqen::py {
namespace {

constexpr const char* kReconstructor = "deserialize_index";

PyResult<Ref> reduce_index(BorrowedIndex index) {
  HALQEN_TRY_ASSIGN(Ref bytes, serialize_index(std::move(index)));
  Ref reconstructor = Ref::steal(PyObject_GetAttrString(module_state().module, kReconstructor));
  if (!reconstructor) {
    return fetch_error();
  }
  Ref reduced = Ref::steal(Py_BuildValue("(O(O))", reconstructor.get(), bytes.get()));
  return reduced ? PyResult<Ref>(std::move(reduced)) : fetch_error();
}

inline constexpr FunctionDescription kReduceIndex{"", "reduce_index", kIndex, 1};

PyMethodDef reduce_def = function_def<reduce_index, kReduceIndex>(
    "reduce_index",
    "reduce_index($module, index)\n--\n\nThe copyreg reduction of an index of any kind.");

}  // namespace

PyResult<void> register_pickling(PyObject* module) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) {
    return fetch_error();
  }
  Ref reducer = Ref::steal(PyCFunction_NewEx(&reduce_def, module, name.get()));
  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  if (!reducer || !copyreg) {
    return fetch_error();
  }
  for (PyObject* type : module_state().index_types) {
    Ref done = Ref::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO", type, reducer.get()));
    if (!done) {
      return fetch_error();
    }
  }
  return {};
}

}  // namespace halqen::py
