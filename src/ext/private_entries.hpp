// halqen_ext's private entry points, for halqen_dask: left out of __all__
// and of the stubs (their names start with "__").
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
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

// A dict of keyword arguments, borrowed from the caller.
struct KeywordDict {
  Ref dict;
};

// TypeError naming the type for anything but a tuple.
template <>
struct FromPython<ArgumentTuple> {
  static PyResult<ArgumentTuple> convert(PyObject* o);
};

// TypeError naming the type for anything but a dict.
template <>
struct FromPython<KeywordDict> {
  static PyResult<KeywordDict> convert(PyObject* o);
};

// Raises what the constructor of the index class named `kind` raises for
// `settings` (its keyword arguments); then, given a method, what that
// method of an index of these settings raises for `arguments` (its
// positional arguments) before it stores or searches anything. Builds no
// index: the class's checks read its settings (module/py_kind.hpp).
// ValueError for a name no index class has, or a method the class has no
// checks of.
PyResult<NoneResult> check_arguments(std::string kind, KeywordDict settings,
                                     std::optional<std::string> method,
                                     std::optional<ArgumentTuple> arguments);

// The bytes the index holds on the heap.
PyResult<std::uint64_t> heap_bytes(BorrowedIndex index);

inline constexpr std::array<std::string_view, 4> kCheckArgumentsParameters = {
    "kind", "settings", "method", "arguments"};
inline constexpr FunctionDescription kCheckArguments{"", "__check_arguments",
                                                     kCheckArgumentsParameters, 2};
inline constexpr std::array<std::string_view, 1> kHeapBytesParameters = {"index"};
inline constexpr FunctionDescription kHeapBytes{"", "__heap_bytes", kHeapBytesParameters, 1};

inline constexpr const char* kCheckArgumentsDoc =
    "__check_arguments($module, kind, settings, method=None, arguments=())\n--\n\n"
    "Raise what the class named kind raises for its settings (its constructor's\n"
    "keyword arguments), then what <method>(*arguments) raises for its arguments\n"
    "on an index of these settings, building, storing and searching nothing.";
inline constexpr const char* kHeapBytesDoc =
    "__heap_bytes($module, index)\n--\n\nThe bytes the index holds on the heap.";

}  // namespace halqen::py
