// Argument descriptors and the two argument parsers.
//
// A parser matches the positional and keyword arguments of one call against
// the entry point's descriptor and fills one slot per parameter with a
// borrowed object, leaving the slots of parameters not given empty. Every
// failure is a TypeError with the interpreter's usual wording.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>

#include "module/py_err.hpp"

namespace halqen::py {

struct FunctionDescription {
  std::string_view class_name;  // empty when the entry point belongs to no class
  std::string_view function_name;
  // Every parameter may be passed by position or by keyword.
  std::span<const std::string_view> parameter_names;
  std::size_t required_count;  // the leading parameters that must be given

  constexpr std::size_t slot_count() const { return parameter_names.size(); }
  // "Class.function()" as it appears in messages.
  std::string full_name() const;
};

// Vectorcall arguments: `args` holds `nargs` positional values followed by one
// value per name in the `kwnames` tuple (which may be null).
// Precondition: `slots` has desc.slot_count() entries, all null.
PyResult<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Constructor arguments: a positional tuple and an optional keyword dict.
PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args,
                                            PyObject* kwargs, PyObject** slots);

}  // namespace halqen::py
