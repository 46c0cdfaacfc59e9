#include "module/batch_arguments.hpp"

#include <optional>
#include <string>

namespace halqen::py {
namespace {

constexpr const char* kQueriesForm = "expected a 2-D array or a sequence of vectors, got ";

// The array's number of dimensions, when `object` has an integer `ndim`.
std::optional<long> array_dimensions(PyObject* object) {
  Ref ndim = Ref::steal(PyObject_GetAttrString(object, "ndim"));
  if (!ndim || !PyLong_Check(ndim.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  const long dimensions = PyLong_AsLong(ndim.get());
  if (dimensions == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return dimensions;
}

// The type of the items of a sequence whose every item is a number: one
// vector given where a list of them is expected. A sequence that also holds
// vectors has the right form, and the loop's message for its bad item stands.
std::optional<std::string> number_item_type(PyObject* object) {
  const Py_ssize_t size = PySequence_Size(object);
  std::optional<std::string> item_type;
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(object, i));
    if (!item || PySequence_Check(item.get()) || !PyNumber_Check(item.get())) {
      PyErr_Clear();
      return std::nullopt;
    }
    if (!item_type) {
      item_type = type_name(item.get());
    }
  }
  PyErr_Clear();
  return item_type;
}

// What was given instead of a list of vectors, or nothing when the argument
// has that form and the failure lies within a vector (whose own message
// stands).
std::optional<std::string> wrong_form(PyObject* object) {
  std::string described;
  if (const auto dimensions = array_dimensions(object)) {
    if (*dimensions == 2) {
      return std::nullopt;
    }
    described.append("a ").append(std::to_string(*dimensions)).append("-D ");
  } else if (PyUnicode_Check(object)) {
    return std::nullopt;
  } else if (PySequence_Check(object)) {
    const auto item = number_item_type(object);
    if (!item) {
      return std::nullopt;
    }
    described.append("a '").append(type_name(object)).append("' of '").append(*item).append("'");
    return described;
  }
  described.append("'").append(type_name(object)).append("'");
  return described;
}

}  // namespace

PyResult<std::uint64_t> extract_named_u64(PyObject* object, const char* name) {
  Ref index = Ref::steal(PyNumber_Index(object));
  if (!index) {
    return fetch_error();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      return fetch_error();
    }
    PyErr_Clear();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "argument '%s': expected an integer from 0 to 2^64 - 1, got %R", name, index.get()));
    if (!message) {
      return fetch_error();
    }
    return std::unexpected(PyErr::new_err(PyExc_OverflowError, std::move(message)));
  }
  return static_cast<std::uint64_t>(value);
}

PyResult<QueryList> FromPython<QueryList>::convert(PyObject* o) {
  auto rows = extract_vector_list(o);
  if (rows) {
    return QueryList{std::move(*rows)};
  }
  if (rows.error().type() != PyExc_TypeError) {
    return std::unexpected(std::move(rows).error());
  }
  if (const auto given = wrong_form(o)) {
    return std::unexpected(
        PyErr::new_err(PyExc_TypeError, std::string(kQueriesForm).append(*given)));
  }
  return std::unexpected(std::move(rows).error());
}

}  // namespace halqen::py
