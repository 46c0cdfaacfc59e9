// The memory layout of an instance: the object header, the class's record,
// then the borrow flag.
#pragma once

#include <Python.h>

#include "module/borrow.hpp"

namespace halqen::py {

template <class Record>
struct Instance {
  PyObject_HEAD Record record;
  BorrowChecker borrow;

  static Instance* of(PyObject* object) { return reinterpret_cast<Instance*>(object); }

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
