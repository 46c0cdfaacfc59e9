// GraphIndex: halqen_ext's approximate index, behind the call protocol.
#pragma once

#include <Python.h>

namespace halqen::py {

// The class's type object (a new reference), or null with an error set.
PyObject* create_graph_index_type();

}  // namespace halqen::py
