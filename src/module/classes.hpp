// The classes halqen publishes. Each creates its type object and returns a new
// reference, or null with an error set.
#pragma once

#include <Python.h>

namespace halqen::py {

PyObject* create_flat_type();
PyObject* create_hnsw_type();

}  // namespace halqen::py
