#include "module/convert.hpp"

#include <algorithm>

#include "module/numeric_buffer.hpp"

namespace halqen::py {
namespace {

constexpr const char* kTypeNameUnavailable = "<failed to extract type name>";
constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
// A sequence's reported length is only a capacity hint; beyond this many
// elements the vector grows geometrically instead of trusting the caller.
constexpr std::size_t kMaxReservedElements = std::size_t{1} << 16;
constexpr Py_ssize_t kPairLength = 2;

std::optional<std::string> utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

// "<unprintable TypeError object>", after reporting why str() failed.
Ref unprintable_message(PyObject* exception) {
  PyErr_WriteUnraisable(exception);
  Ref name = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    return Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
  }
  PyErr_Clear();
  return Ref::steal(PyUnicode_FromString("<unprintable object>"));
}

PyResult<std::vector<double>> extract_exact_float_list(PyObject* list) {
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyFloat_CheckExact(item)) {
      out.push_back(PyFloat_AS_DOUBLE(item));
      continue;
    }
    Ref held = Ref::borrow(item);  // its conversion may run code that empties the list
    HALQEN_TRY_ASSIGN(const double value, extract_f64(held.get()));
    out.push_back(value);
  }
  return out;
}

}  // namespace

std::string type_name(PyObject* object) {
  Ref name = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (!name) {
    PyErr::fetch();  // discarded: the placeholder stands in
    return kTypeNameUnavailable;
  }
  if (!PyUnicode_Check(name.get())) {
    return kTypeNameUnavailable;
  }
  return utf8_of(name.get()).value_or(kTypeNameUnavailable);
}

PyErr downcast_error(PyObject* object, const char* target) {
  std::string message = "'";
  message += type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return PyErr::new_err(PyExc_TypeError, std::move(message));
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
  if (error.type() != PyExc_TypeError) {
    return error;
  }
  PyObject* exception = error.value();
  if (exception == nullptr) {
    return PyErr::fetch();
  }
  Ref text = Ref::steal(PyObject_Str(exception));
  if (!text) {
    text = unprintable_message(exception);
  }
  const std::string quoted_name(name);
  Ref message;
  if (text) {
    message =
        Ref::steal(PyUnicode_FromFormat("argument '%s': %U", quoted_name.c_str(), text.get()));
  }
  Ref wrapped = message ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : Ref();
  if (!wrapped) {
    return PyErr::fetch();
  }
  if (PyObject* cause = PyException_GetCause(exception)) {
    PyException_SetCause(wrapped.get(), cause);
  }
  return PyErr::from_exception(std::move(wrapped));
}

PyResult<std::uint64_t> extract_u64(PyObject* object) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref::steal(PyNumber_Index(object));
    if (!index) {
      return fetch_error();
    }
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return fetch_error();
  }
  return static_cast<std::uint64_t>(value);
}

PyResult<std::int64_t> extract_i64(PyObject* object) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref::steal(PyNumber_Index(object));
    if (!index) {
      return fetch_error();
    }
    object = index.get();
  }
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) {
    return fetch_error();
  }
  return static_cast<std::int64_t>(value);
}

PyResult<double> extract_f64(PyObject* object) {
  if (PyFloat_CheckExact(object)) {
    return PyFloat_AS_DOUBLE(object);
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    return fetch_error();
  }
  return value;
}

PyResult<std::string> extract_string(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    return std::unexpected(downcast_error(object, "PyString"));
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    return fetch_error();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

PyResult<NamedObject> extract_pair(PyObject* object) {
  if (!PyTuple_Check(object)) {
    return std::unexpected(downcast_error(object, "PyTuple"));
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(object);
  if (length != kPairLength) {
    return std::unexpected(PyErr::new_err(
        PyExc_ValueError,
        "expected tuple of length 2, but got tuple of length " + std::to_string(length)));
  }
  HALQEN_TRY_ASSIGN(std::string name, extract_string(PyTuple_GET_ITEM(object, 0)));
  return NamedObject(std::move(name), Ref::borrow(PyTuple_GET_ITEM(object, 1)));
}

namespace detail {

PyResult<void> check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) {
    return std::unexpected(PyErr::new_err(PyExc_TypeError, kStrToVec));
  }
  if (!PySequence_Check(object)) {
    return std::unexpected(downcast_error(object, "Sequence"));
  }
  return {};
}

std::size_t capped_length_hint(PyObject* object) {
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr::fetch();  // only a hint: its failure is discarded
    return 0;
  }
  return std::min(static_cast<std::size_t>(length), kMaxReservedElements);
}

}  // namespace detail

PyResult<std::vector<double>> extract_float_sequence(PyObject* object) {
  HALQEN_TRY_VOID(detail::check_sequence(object));
  if (PyList_CheckExact(object)) {
    return extract_exact_float_list(object);
  }
  if (auto values = read_buffer_vector(object)) {
    return std::move(*values);
  }
  return detail::extract_generic_sequence<double>(object);
}

PyResult<std::vector<std::vector<double>>> extract_vector_list(PyObject* object) {
  HALQEN_TRY_VOID(detail::check_sequence(object));
  if (auto rows = read_buffer_rows(object)) {
    return std::move(*rows);
  }
  return detail::extract_generic_sequence<std::vector<double>>(object);
}

}  // namespace halqen::py
