// The arguments of halqen_ext's batch searches whose conversion failures get
// messages of this module's own: what the argument must be, and what was
// given. (halqen's classes keep their own messages.)
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "module/convert.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// `queries`: a 2-D array or a sequence of vectors. A 1-D array or a sequence
// of numbers (one vector, most likely) is a TypeError saying so.
struct QueryList {
  std::vector<std::vector<double>> rows;
};

// `k`: how many results per query, from 0 to 2^64 - 1.
struct ResultCount {
  std::uint64_t value;
};

// `ef`: the width of a graph's final layer search, from 0 to 2^64 - 1.
struct SearchWidth {
  std::uint64_t value;
};

// The integer in `object`; an OverflowError outside 0 .. 2^64 - 1 names the
// argument and the value given.
PyResult<std::uint64_t> extract_named_u64(PyObject* object, const char* name);

template <>
struct FromPython<QueryList> {
  static PyResult<QueryList> convert(PyObject* o);
};
template <>
struct FromPython<ResultCount> {
  static PyResult<ResultCount> convert(PyObject* o) {
    HALQEN_TRY_ASSIGN(const std::uint64_t value, extract_named_u64(o, "k"));
    return ResultCount{value};
  }
};
template <>
struct FromPython<SearchWidth> {
  static PyResult<SearchWidth> convert(PyObject* o) {
    HALQEN_TRY_ASSIGN(const std::uint64_t value, extract_named_u64(o, "ef"));
    return SearchWidth{value};
  }
};

}  // namespace halqen::py
