// Pickling of every index class, registered through copyreg so the classes
// themselves stay as their modules define them.
#pragma once

#include <Python.h>

#include "module/py_err.hpp"

namespace halqen::py {

// Registers every index class with copyreg.pickle: an index reduces to
// (halqen_ext.deserialize_index, (its serialized bytes,)), which pickle,
// copy, copy.deepcopy and multiprocessing all use. The reducer is a function
// object of `module` kept by copyreg, not a name in the module.
PyResult<void> register_pickling(PyObject* module);

}  // namespace halqen::py
