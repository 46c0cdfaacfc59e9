// The argument types of GraphIndex's methods that halqen's other classes do
// not take, with their conversions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "module/convert.hpp"
#include "module/py_err.hpp"
#include "module/vector_list.hpp"

namespace halqen::py {

// The progress flag: any object, read by its truth value.
struct Flag {
  bool on;
};

// A key of `in`: an id, or nothing when the object could be no id (a
// negative or non-integer key is simply not present).
struct IdKey {
  std::optional<std::uint64_t> id;
};

// Queries: one 1-D vector (a 1-D buffer, or a sequence whose first item is
// not a sequence) or many (anything else a list of vectors converts from).
struct QueryBatch {
  VectorList rows;
  bool single = false;
};

template <>
struct FromPython<Flag> {
  static PyResult<Flag> convert(PyObject* o);
};
template <>
struct FromPython<IdKey> {
  static PyResult<IdKey> convert(PyObject* o);
};
template <>
struct FromPython<QueryBatch> {
  static PyResult<QueryBatch> convert(PyObject* o);
};

}  // namespace halqen::py
