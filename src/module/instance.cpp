#include "module/instance.hpp"

#include <cstring>
#include <vector>

namespace halqen::py {
namespace {

// Python 3.9 keeps only the text after the signature as a heap type's tp_doc,
// which loses __text_signature__ (and inspect.signature). __doc__ has already
// been set from that text, so the full doc can go back into tp_doc, which the
// interpreter frees with PyObject_Free.
PyObject* keep_text_signature([[maybe_unused]] PyObject* type, [[maybe_unused]] const char* doc) {
#if PY_VERSION_HEX < 0x030A0000
  if (type == nullptr) {
    return nullptr;
  }
  const std::size_t size = std::strlen(doc) + 1;
  char* copy = static_cast<char*>(PyObject_Malloc(size));
  if (copy == nullptr) {
    Py_DECREF(type);
    return PyErr_NoMemory();
  }
  std::memcpy(copy, doc, size);
  auto* heap_type = reinterpret_cast<PyTypeObject*>(type);
  PyObject_Free(const_cast<char*>(heap_type->tp_doc));
  heap_type->tp_doc = copy;
#endif
  return type;
}

}  // namespace

PyObject* create_heap_type(const char* qualified_name, const char* doc, int basic_size,
                           PyMethodDef* methods, newfunc constructor, destructor dealloc,
                           std::span<const PyType_Slot> extra_slots) {
  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(constructor)},
      {Py_tp_methods, methods},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
  };
  slots.insert(slots.end(), extra_slots.begin(), extra_slots.end());
  slots.push_back({0, nullptr});
  PyType_Spec spec = {qualified_name, basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  return keep_text_signature(PyType_FromSpec(&spec), doc);
}

}  // namespace halqen::py
