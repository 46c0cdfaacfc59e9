// The classes the module publishes. Each returns its type object, created on
// first use in the process and reused afterwards (a borrowed reference), or
// null with an error set if creation failed.
#pragma once

#include <Python.h>

namespace halqen::py {

PyObject* flat_type();
PyObject* hnsw_type();

}  // namespace halqen::py
