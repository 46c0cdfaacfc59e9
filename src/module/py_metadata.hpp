// Python values into metadata values and records.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "metadata/metadata.hpp"
#include "module/convert.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// Tries text, then a signed 64-bit integer, then a float; the first that
// succeeds wins. Raises nothing: a failed attempt's exception is discarded
// (except a PanicException from the caller's code, which is resumed).
std::optional<Metadata> value_to_metadata(PyObject* value);

// The record of one vector: for each schema name in schema order, the value
// of the last pair with that name. Fails with ValueError on the first schema
// name that has no pair or whose value does not convert.
PyResult<MetadataRecord> build_metadata_record(const Schema& schema,
                                               const std::vector<NamedObject>& pairs);

}  // namespace halqen::py
