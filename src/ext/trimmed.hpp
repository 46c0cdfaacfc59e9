// trimmed: a search's padded (ids, distances) arrays as lists of the pairs
// found, which strict JSON takes (it has no inf).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "module/args.hpp"
#include "module/convert.hpp"
#include "module/py_err.hpp"
#include "module/ref.hpp"

namespace halqen::py {

// The arguments as given: both arrays are read through numpy.
struct AnyObject {
  Ref object;
};

template <>
struct FromPython<AnyObject> {
  static PyResult<AnyObject> convert(PyObject* o) { return AnyObject{Ref::borrow(o)}; }
};

// One row's (id, distance) pairs.
using IdPairs = std::vector<std::pair<std::uint64_t, double>>;

// One list of pairs per query: per row of 2-D arrays, one for 1-D arrays.
PyResult<std::vector<IdPairs>> trimmed(AnyObject ids, AnyObject distances);

inline constexpr std::array<std::string_view, 2> kTrimmedParameters = {"ids", "distances"};
inline constexpr FunctionDescription kTrimmed{"", "trimmed", kTrimmedParameters, 2};
inline constexpr const char* kTrimmedDoc =
    "trimmed($module, ids, distances)\n--\n\n"
    "The (id, distance) pairs of GraphIndex.search's (or ShardedGraph.search's)\n"
    "answer without its padding (id -1 with an infinite distance): one list of\n"
    "pairs per query (per row of 2-D arrays; a single list for the 1-D arrays\n"
    "of one query), nearest first, ready for json.dumps.";

}  // namespace halqen::py
