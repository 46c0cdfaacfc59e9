// A search filter as a caller writes it, parsed and checked against the
// schema once per call: today's (name, value) and (name, [values]) pairs,
// and expressions in the dict form Python vector stores use, such as
// {"year": {"$gte": 2020}, "lang": {"$in": ["en", "de"]}}.
#pragma once

#include <Python.h>

#include <optional>

#include "filter/filter_expression.hpp"
#include "metadata/metadata.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// How deep expressions may nest ($and, $or, $not and attribute dicts).
inline constexpr std::size_t kDeepestFilter = 32;

// The compiled filter, or the error that names what is wrong and what was
// expected. Precondition: `schema` holds a schema.
PyResult<FilterExpression> parse_filter(PyObject* given, const Schema& schema);

}  // namespace halqen::py
