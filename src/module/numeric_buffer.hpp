// Vectors read straight from the buffer of a numpy array or array.array.
//
// Converting each element with float() costs a Python call per number. For
// the exact types numpy.ndarray and array.array (subclasses may override
// iteration, so they are never trusted) the elements of a real numeric type
// in native byte order are widened here to the very doubles that float()
// gives for each element: bool to 0.0/1.0, integers correctly rounded,
// float16/float32/long double by the same conversion numpy's scalars use.
// Everything else (object, complex, byte-swapped, structured, other shapes)
// is left to the element-wise conversion.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "module/py_err.hpp"
#include "module/signal_check.hpp"
#include "module/vector_list.hpp"

namespace halqen::py {

// The numbers of a 1-D array. nullopt when `object` is not an exact
// numpy.ndarray or array.array, exports no buffer, is not 1-D, or holds
// elements this reader does not convert; no Python error is left pending.
// Allocation failure throws std::bad_alloc.
std::optional<std::vector<double>> read_buffer_vector(PyObject* object);

// As read_buffer_vector, appending the numbers to `out`; false, with nothing
// appended, where read_buffer_vector gives nullopt.
bool append_buffer_vector(PyObject* object, std::vector<double>& out);

// Appends the rows of a 2-D numpy array to `vectors`, each converted as
// above, checking for signals between chunks of rows. nullopt, with nothing
// appended and no error pending, under the same conditions as above or when
// the array is not 2-D. An error when a signal handler raised; the list then
// holds the rows read before.
std::optional<PyResult<void>> append_buffer_rows(PyObject* object, VectorList& vectors,
                                                 SignalPoll& signals);

}  // namespace halqen::py
