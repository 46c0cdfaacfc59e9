// The memory layout of an instance: the object header, the class's record,
// then the borrow flag. Every module that reaches into an instance uses this
// header, so the layout is written once.
#pragma once

#include <Python.h>

#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "module/borrow.hpp"
#include "module/gate_rules.hpp"
#include "module/py_err.hpp"

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

  // A new instance of `type` (the class of this record) that takes over
  // `record`: what a constructor builds, or a loaded index.
  static PyResult<Ref> create(PyObject* type, Record&& record) {
    static_assert(std::is_nothrow_move_constructible_v<Record>);
    auto* heap_type = reinterpret_cast<PyTypeObject*>(type);
    Ref object = Ref::steal(heap_type->tp_alloc(heap_type, 0));
    if (!object) {
      return fetch_error();
    }
    Instance* instance = of(object.get());
    new (&instance->record) Record(std::move(record));
    new (&instance->borrow) BorrowChecker();
    return object;
  }

  // The dealloc slot: releases the record and everything it owns, frees the
  // object, and drops the instance's reference to its heap type. A record
  // forked mid-change is left as it is: its containers may be caught half
  // way through growing, and destroying them could free memory twice.
  static void dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    Instance* instance = of(object);
    if (!instance->borrow.forked_mid_change() &&
        !GateRules<Record>::torn_by_fork(instance->record)) {
      instance->record.~Record();
    }
    instance->borrow.~BorrowChecker();
    type->tp_free(object);
    Py_DECREF(type);
  }
};

// A heap type built by PyType_FromSpec; the type name is "builtins.{name}".
// `extra_slots` adds slots beyond the methods (properties, __len__, ...).
// Returns a new reference or null with an error set.
PyObject* create_heap_type(const char* qualified_name, const char* doc, int basic_size,
                           PyMethodDef* methods, newfunc constructor, destructor dealloc,
                           std::span<const PyType_Slot> extra_slots = {});

}  // namespace halqen::py
