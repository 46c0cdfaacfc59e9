// The memory layout of an instance: the object header, the class's record,
// then the borrow flag. Every module that reaches into an instance uses this
// header, so the layout is written once.
#pragma once

#include <Python.h>

#include "module/borrow.hpp"

namespace halqen::py {

template <class Record>
struct Instance {
  PyObject_HEAD Record record;
  BorrowChecker borrow;

  // Precondition: `object` is an instance of the class whose record is Record.
  static Instance* of(PyObject* object) { return reinterpret_cast<Instance*>(object); }

  // The instance when `object`'s type is exactly `type` (the class of this
  // record, e.g. from the module state), else null. Classes cannot be
  // subclassed, so this is the whole check a caller holding any object needs.
  static Instance* exact(PyObject* object, PyObject* type) {
    return type != nullptr && Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(type) ? of(object)
                                                                                       : nullptr;
  }

  // The dealloc slot: releases the record and everything it owns, frees the
  // object, and drops the instance's reference to its heap type.
  static void dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Instance* instance = of(object);
    instance->record.~Record();
    instance->borrow.~BorrowChecker();
    type->tp_free(object);
    Py_DECREF(type);
  }
};

// A heap type built by PyType_FromSpec; the type name is "builtins.{name}".
// Returns a new reference or null with an error set.
PyObject* create_heap_type(const char* qualified_name, const char* doc, int basic_size,
                           PyMethodDef* methods, newfunc constructor, destructor dealloc);

}  // namespace halqen::py
