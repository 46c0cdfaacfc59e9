// Conversions of Python arguments into plain values.
//
// Each conversion takes a borrowed object and returns the value or a PyErr.
// They may run the caller's Python code (__index__, __float__, __len__,
// __iter__, __next__, __qualname__), so they hold their own reference to
// every object they keep. `FromPython<T>` names the conversion for a type;
// the entry-point template uses it to convert each parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/py_err.hpp"
#include "module/vector_list.hpp"

namespace halqen::py {

// `__qualname__` of the object's type, or a placeholder when unavailable.
std::string type_name(PyObject* object);

// TypeError "'{type}' object cannot be converted to '{target}'".
PyErr downcast_error(PyObject* object, const char* target);

// Reports a failed conversion of parameter `name`: an exact TypeError is
// re-raised as "argument '{name}': {message}" keeping its __cause__; any
// other exception passes through unchanged.
PyErr argument_extraction_error(std::string_view name, PyErr error);

PyResult<std::uint64_t> extract_u64(PyObject* object);
PyResult<std::int64_t> extract_i64(PyObject* object);
PyResult<double> extract_f64(PyObject* object);
PyResult<std::string> extract_string(PyObject* object);

// A metadata entry: a name and the caller's object, owned.
using NamedObject = std::pair<std::string, Ref>;
PyResult<NamedObject> extract_pair(PyObject* object);

template <class T>
struct FromPython;

template <>
struct FromPython<std::uint64_t> {
  static PyResult<std::uint64_t> convert(PyObject* o) { return extract_u64(o); }
};
template <>
struct FromPython<double> {
  static PyResult<double> convert(PyObject* o) { return extract_f64(o); }
};
template <>
struct FromPython<std::string> {
  static PyResult<std::string> convert(PyObject* o) { return extract_string(o); }
};
template <>
struct FromPython<NamedObject> {
  static PyResult<NamedObject> convert(PyObject* o) { return extract_pair(o); }
};

// A sequence: refuses str, requires the sequence protocol, iterates and
// converts each element in order. A vector of floats is also read directly
// from an exact float list, or from the buffer of an exact 1-D numpy array or
// array.array of real numbers, which gives the same values without Python
// calls (module/numeric_buffer.hpp).
PyResult<std::vector<double>> extract_float_sequence(PyObject* object);

// A list of vectors, each converted as above, into one buffer; an exact 2-D
// numpy array of real numbers is read from its buffer in one pass, with the
// same values. Checks for signals every few thousand numbers (see
// module/signal_check.hpp), failing with the exception a handler raised.
PyResult<VectorList> extract_vector_rows(PyObject* object);

// The same vectors, each in a vector of its own.
PyResult<std::vector<std::vector<double>>> extract_vector_list(PyObject* object);

namespace detail {
PyResult<void> check_sequence(PyObject* object);
std::size_t capped_length_hint(PyObject* object);
template <class T>
PyResult<std::vector<T>> extract_generic_sequence(PyObject* object);
}  // namespace detail

template <class T>
struct FromPython<std::vector<T>> {
  static PyResult<std::vector<T>> convert(PyObject* o) {
    return detail::extract_generic_sequence<T>(o);
  }
};
template <>
struct FromPython<std::vector<double>> {
  static PyResult<std::vector<double>> convert(PyObject* o) { return extract_float_sequence(o); }
};
template <>
struct FromPython<VectorList> {
  static PyResult<VectorList> convert(PyObject* o) { return extract_vector_rows(o); }
};
template <>
struct FromPython<std::vector<std::vector<double>>> {
  static PyResult<std::vector<std::vector<double>>> convert(PyObject* o) {
    return extract_vector_list(o);
  }
};

namespace detail {

template <class T>
PyResult<void> append_converted(std::vector<T>& out, PyObject* item) {
  HALQEN_TRY_ASSIGN(T value, FromPython<T>::convert(item));
  out.push_back(std::move(value));
  return {};
}

// Same element order and the same reaction to code that changes the list
// mid-conversion as the list iterator, without creating one.
template <class T>
PyResult<std::vector<T>> extract_exact_list(PyObject* list) {
  std::vector<T> out;
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    HALQEN_TRY_VOID(append_converted(out, item.get()));
  }
  return out;
}

template <class T>
PyResult<std::vector<T>> extract_generic_sequence(PyObject* object) {
  HALQEN_TRY_VOID(check_sequence(object));
  if (PyList_CheckExact(object)) {
    return extract_exact_list<T>(object);
  }
  std::vector<T> out;
  out.reserve(capped_length_hint(object));
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) {
    return fetch_error();
  }
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    HALQEN_TRY_VOID(append_converted(out, item.get()));
  }
  if (PyErr_Occurred()) {
    return fetch_error();
  }
  return out;
}

}  // namespace detail

// An optional parameter: not given, or given as None, converts to nullopt.
template <class T>
struct FromPython<std::optional<T>> {
  static PyResult<std::optional<T>> convert(PyObject* o) {
    if (o == nullptr || o == Py_None) {
      return std::optional<T>();
    }
    HALQEN_TRY_ASSIGN(T value, FromPython<T>::convert(o));
    return std::optional<T>(std::move(value));
  }
};

}  // namespace halqen::py
