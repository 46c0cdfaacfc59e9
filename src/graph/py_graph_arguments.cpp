#include "graph/py_graph_arguments.hpp"

#include <utility>
#include <vector>

namespace halqen::py {
namespace {

PyResult<bool> is_single_vector(PyObject* o) {
  if (PyObject_CheckBuffer(o)) {
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_ND) == 0) {
      const bool single = view.ndim == 1;
      PyBuffer_Release(&view);
      return single;
    }
    PyErr_Clear();  // no plain buffer: judged as a sequence below
  }
  if (!PySequence_Check(o) || PyUnicode_Check(o)) return false;
  const Py_ssize_t length = PySequence_Size(o);
  if (length < 0) return fetch_error();
  if (length == 0) return false;
  Ref first = Ref::steal(PySequence_GetItem(o, 0));
  if (!first) return fetch_error();
  return !PySequence_Check(first.get());
}

}  // namespace

PyResult<Flag> FromPython<Flag>::convert(PyObject* o) {
  const int truth = PyObject_IsTrue(o);
  if (truth < 0) return fetch_error();
  return Flag{truth == 1};
}

PyResult<IdKey> FromPython<IdKey>::convert(PyObject* o) {
  if (!PyIndex_Check(o)) return IdKey{};
  Ref number = Ref::steal(PyNumber_Index(o));
  if (!number) return fetch_error();
  const unsigned long long id = PyLong_AsUnsignedLongLong(number.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // negative or past 64 bits: no id of the index
    return IdKey{};
  }
  return IdKey{id};
}

PyResult<QueryBatch> FromPython<QueryBatch>::convert(PyObject* o) {
  HALQEN_TRY_ASSIGN(const bool single, is_single_vector(o));
  if (!single) {
    HALQEN_TRY_ASSIGN(VectorList rows, extract_vector_rows(o));
    return QueryBatch{std::move(rows), false};
  }
  HALQEN_TRY_ASSIGN(std::vector<double> vector, extract_float_sequence(o));
  QueryBatch batch;
  batch.single = true;
  batch.rows.reserve_numbers(vector.size());
  batch.rows.reserve_vectors(1);
  batch.rows.numbers().insert(batch.rows.numbers().end(), vector.begin(), vector.end());
  batch.rows.end_vector();
  return batch;
}

}  // namespace halqen::py
