// halqen_ext's private entry points, for halqen_dask: left out of __all__
// and of the stubs (their names start with "__").
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "module/args.hpp"
#include "module/convert.hpp"
#include "module/index_borrow.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// A tuple of positional arguments, borrowed from the caller.
struct ArgumentTuple {
  Ref tuple;
};

// TypeError naming the type for anything but a tuple.
template <>
struct FromPython<ArgumentTuple> {
  static PyResult<ArgumentTuple> convert(PyObject* o);
};

// Runs the argument checks of `method` of the index's class on `arguments`
// (its positional arguments), raising exactly what that method raises for
// them before it stores or searches anything; stores and searches nothing.
// ValueError for a method the class has no checks of.
PyResult<NoneResult> check_arguments(BorrowedIndex index, std::string method,
                                     ArgumentTuple arguments);

// The bytes the index holds on the heap.
PyResult<std::uint64_t> heap_bytes(BorrowedIndex index);

inline constexpr std::array<std::string_view, 3> kCheckArgumentsParameters = {"index", "method",
                                                                              "arguments"};
inline constexpr FunctionDescription kCheckArguments{"", "__check_arguments",
                                                     kCheckArgumentsParameters, 3};
inline constexpr std::array<std::string_view, 1> kHeapBytesParameters = {"index"};
inline constexpr FunctionDescription kHeapBytes{"", "__heap_bytes", kHeapBytesParameters, 1};

inline constexpr const char* kCheckArgumentsDoc =
    "__check_arguments($module, index, method, arguments)\n--\n\n"
    "Raise what index.<method>(*arguments) raises for its arguments, storing\n"
    "and searching nothing.";
inline constexpr const char* kHeapBytesDoc =
    "__heap_bytes($module, index)\n--\n\nThe bytes the index holds on the heap.";

}  // namespace halqen::py
