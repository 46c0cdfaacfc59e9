// Result builders: plain values back into new Python objects.
//
// Every overload is declared before any is defined, so that containers nest
// in any order (a list of lists of pairs, a pair holding a list).
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "module/py_err.hpp"

namespace halqen::py {

PyResult<Ref> to_python(NoneResult);
PyResult<Ref> to_python(const Ref& object);
PyResult<Ref> to_python(bool value);
PyResult<Ref> to_python(std::uint64_t value);
PyResult<Ref> to_python(double value);
PyResult<Ref> to_python(std::span<const double> values);
template <class A, class B>
PyResult<Ref> to_python(const std::pair<A, B>& pair);
template <class T>
PyResult<Ref> to_python(const std::vector<T>& items);
template <class... T>
PyResult<Ref> to_python(const std::variant<T...>& value);

inline PyResult<Ref> to_python(NoneResult) {
  return Ref::borrow(Py_None);
}

// An object the entry point built itself (a new instance, a bytes object).
inline PyResult<Ref> to_python(const Ref& object) {
  return Ref::borrow(object.get());
}

inline PyResult<Ref> to_python(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}

inline PyResult<Ref> to_python(std::uint64_t value) {
  Ref object = Ref::steal(PyLong_FromUnsignedLongLong(value));
  return object ? PyResult<Ref>(std::move(object)) : fetch_error();
}

inline PyResult<Ref> to_python(double value) {
  Ref object = Ref::steal(PyFloat_FromDouble(value));
  return object ? PyResult<Ref>(std::move(object)) : fetch_error();
}

// A list created at its final length and filled in place.
template <class Range>
PyResult<Ref> list_to_python(const Range& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) {
    return fetch_error();
  }
  Py_ssize_t position = 0;
  for (const auto& item : items) {
    HALQEN_TRY_ASSIGN(Ref element, to_python(item));
    PyList_SET_ITEM(list.get(), position++, element.release());
  }
  return list;
}

inline PyResult<Ref> to_python(std::span<const double> values) {
  return list_to_python(values);
}

template <class T>
PyResult<Ref> to_python(const std::vector<T>& items) {
  return list_to_python(items);
}

template <class A, class B>
PyResult<Ref> to_python(const std::pair<A, B>& pair) {
  HALQEN_TRY_ASSIGN(Ref first, to_python(pair.first));
  HALQEN_TRY_ASSIGN(Ref second, to_python(pair.second));
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) {
    return fetch_error();
  }
  PyTuple_SET_ITEM(tuple, 0, first.release());
  PyTuple_SET_ITEM(tuple, 1, second.release());
  return Ref::steal(tuple);
}

// Whichever alternative the value holds.
template <class... T>
PyResult<Ref> to_python(const std::variant<T...>& value) {
  return std::visit([](const auto& held) { return to_python(held); }, value);
}

}  // namespace halqen::py
