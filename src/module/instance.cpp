#include "module/instance.hpp"

namespace halqen::py {

PyObject* create_heap_type(const char* qualified_name, const char* doc, int basic_size,
                           PyMethodDef* methods, newfunc constructor, destructor dealloc) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(constructor)},
      {Py_tp_methods, methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {0, nullptr},
  };
  PyType_Spec spec = {qualified_name, basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace halqen::py
