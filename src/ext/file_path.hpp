// A file system path argument: a str or an os.PathLike that gives one.
#pragma once

#include <Python.h>

#include <string>

#include "module/convert.hpp"
#include "module/py_err.hpp"
#include "module/ref.hpp"

namespace halqen::py {

struct FilePath {
  std::string encoded;  // in the file system encoding, for the system calls
  Ref text;             // the str, for the filename of an OSError
};

// TypeError for anything but a str or an os.PathLike whose __fspath__ gives a
// str; ValueError (from the interpreter) for an embedded NUL.
PyResult<FilePath> extract_file_path(PyObject* object);

template <>
struct FromPython<FilePath> {
  static PyResult<FilePath> convert(PyObject* o) { return extract_file_path(o); }
};

}  // namespace halqen::py
