// The argument types of GraphIndex's methods that halqen's other classes do
// not take, with their conversions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

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

// Ids: a sequence of integers or a 1-D integer array, each from 0 to
// 2^64 - 1; one out of range is an OverflowError naming `ids`.
struct IdList {
  std::vector<std::uint64_t> values;
};

// The stored ids whose vectors are the queries: one id (one answer row) or a
// sequence of them.
struct IdQuery {
  IdList ids;
  bool single = false;
};

// One filter: a (name, value) pair or (name, values), or an expression dict
// (parsed against the schema later). Anything else, such as a list of
// pairs, is a TypeError saying what a filter is.
struct FilterArgument {
  std::optional<NamedObject> pair;
  Ref expression;
};

// A filter per query: a list or tuple of filters as `filter` takes them.
struct FilterList {
  std::vector<FilterArgument> filters;
};

// The dtype of returned vectors: numpy.float64 or numpy.float32 (any name
// numpy.dtype reads as one of them).
struct VectorDtype {
  bool single_precision = false;
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
template <>
struct FromPython<IdList> {
  static PyResult<IdList> convert(PyObject* o);
};
template <>
struct FromPython<IdQuery> {
  static PyResult<IdQuery> convert(PyObject* o);
};
template <>
struct FromPython<FilterArgument> {
  static PyResult<FilterArgument> convert(PyObject* o);
};
template <>
struct FromPython<FilterList> {
  static PyResult<FilterList> convert(PyObject* o);
};
template <>
struct FromPython<VectorDtype> {
  static PyResult<VectorDtype> convert(PyObject* o);
};

}  // namespace halqen::py
