#include "ext/graph/py_graph_arguments.hpp"

#include <string>
#include <utility>
#include <vector>

#include "module/batch_arguments.hpp"

namespace halqen::py {
namespace {

constexpr const char* kIdsName = "ids";
constexpr Py_ssize_t kPairLength = 2;
constexpr const char* kFilterForm =
    "a filter is one (name, value) pair, (name, [value, ...]) on one attribute, or a dict "
    "such as {\"year\": {\"$gte\": 2020}}, got ";

// What was given instead of a filter pair, for its TypeError.
std::string filter_form_of(PyObject* o) {
  if (PyTuple_Check(o)) return "a tuple of length " + std::to_string(PyTuple_GET_SIZE(o));
  if (PyList_Check(o)) {
    return "a list of " + std::to_string(PyList_GET_SIZE(o)) +
           " items (a filter per query goes in filters=[...]; several tests in one filter go "
           "in a dict, joined by and)";
  }
  return "'" + type_name(o) + "'";
}

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

PyResult<IdList> FromPython<IdList>::convert(PyObject* o) {
  HALQEN_TRY_VOID(detail::check_sequence(o));
  IdList ids;
  ids.values.reserve(detail::capped_length_hint(o));
  Ref iterator = Ref::steal(PyObject_GetIter(o));
  if (!iterator) return fetch_error();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    HALQEN_TRY_ASSIGN(const std::uint64_t id, extract_named_u64(item.get(), kIdsName));
    ids.values.push_back(id);
  }
  if (PyErr_Occurred()) return fetch_error();
  return ids;
}

PyResult<IdQuery> FromPython<IdQuery>::convert(PyObject* o) {
  if (PySequence_Check(o) || !PyIndex_Check(o)) {
    HALQEN_TRY_ASSIGN(IdList ids, FromPython<IdList>::convert(o));
    return IdQuery{std::move(ids), false};
  }
  HALQEN_TRY_ASSIGN(const std::uint64_t id, extract_named_u64(o, kIdsName));
  return IdQuery{IdList{{id}}, true};
}

PyResult<FilterArgument> FromPython<FilterArgument>::convert(PyObject* o) {
  if (PyDict_Check(o)) return FilterArgument{std::nullopt, Ref::borrow(o)};
  if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != kPairLength) {
    return std::unexpected(
        PyErr::new_err(PyExc_TypeError, std::string(kFilterForm) + filter_form_of(o)));
  }
  HALQEN_TRY_ASSIGN(NamedObject pair, extract_pair(o));
  return FilterArgument{std::move(pair), Ref()};
}

PyResult<FilterList> FromPython<FilterList>::convert(PyObject* o) {
  if (!PyList_Check(o) && !PyTuple_Check(o)) {
    return std::unexpected(PyErr::new_err(
        PyExc_TypeError,
        "filters is a list with a filter for each query, got '" + type_name(o) + "'"));
  }
  // Held in a tuple of our own: the caller's list could change under the loop.
  Ref items = Ref::steal(PySequence_Tuple(o));
  if (!items) return fetch_error();
  FilterList list;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
    HALQEN_TRY_ASSIGN(FilterArgument filter,
                      FromPython<FilterArgument>::convert(PyTuple_GET_ITEM(items.get(), i)));
    list.filters.push_back(std::move(filter));
  }
  return list;
}

PyResult<VectorDtype> FromPython<VectorDtype>::convert(PyObject* o) {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return fetch_error();
  Ref dtype = Ref::steal(PyObject_CallMethod(numpy.get(), "dtype", "(O)", o));
  if (!dtype) return fetch_error();
  Ref name = Ref::steal(PyObject_GetAttrString(dtype.get(), "name"));
  if (!name) return fetch_error();
  HALQEN_TRY_ASSIGN(const std::string text, extract_string(name.get()));
  if (text == "float64") return VectorDtype{false};
  if (text == "float32") return VectorDtype{true};
  return std::unexpected(PyErr::new_err(
      PyExc_ValueError,
      "argument 'dtype': expected numpy.float64 or numpy.float32, got numpy." + text));
}

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
