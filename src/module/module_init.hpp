// The steps both extension modules take when they are imported.
#pragma once

#include <Python.h>

#include "module/py_err.hpp"
#include "module/py_kind.hpp"

namespace halqen::py {

// A new module from its definition, with an empty __all__.
PyResult<Ref> create_module(PyModuleDef& definition);
// The package's version as the module's __version__ (halqen_ext only: the
// namespace of halqen is fixed).
PyResult<void> publish_version(PyObject* module);

// Publishes `object` as the module attribute `name` and lists it in __all__.
PyResult<void> publish(PyObject* module, const char* name, PyObject* object);

// Creates the class of every index kind that `home` publishes (once per
// process, kept in the module state) and publishes it in `module`.
PyResult<void> publish_classes(PyObject* module, ClassHome home);

// The module state's classes of the kinds halqen publishes, taken from
// halqen (imported if needed), for a module other than halqen.
PyResult<void> adopt_halqen_classes();

}  // namespace halqen::py
