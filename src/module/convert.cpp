#include "module/convert.hpp"

#include <algorithm>
#include <span>

#include "common/grow.hpp"
#include "module/numeric_buffer.hpp"
#include "module/signal_check.hpp"

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

// Appends the numbers of an exact list, reading exact floats directly. The
// signal check counts whole spans of the list, not each number: this loop is
// the one every insert and search runs.
PyResult<void> append_exact_float_list(std::vector<double>& out, PyObject* list,
                                       SignalPoll& signals) {
  constexpr auto kSpan = static_cast<Py_ssize_t>(kElementsPerSignalCheck);
  reserve_for_append(out, static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list);) {
    Py_ssize_t span_end = std::min(PyList_GET_SIZE(list), i + kSpan);
    HALQEN_TRY_VOID(signals.advance(static_cast<std::size_t>(span_end - i)));
    for (; i < span_end; ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (PyFloat_CheckExact(item)) {
        out.push_back(PyFloat_AS_DOUBLE(item));
        continue;
      }
      Ref held = Ref::borrow(item);  // its conversion may run code that empties the list
      HALQEN_TRY_ASSIGN(const double value, extract_f64(held.get()));
      out.push_back(value);
      span_end = std::min(span_end, PyList_GET_SIZE(list));
    }
  }
  return {};
}

// Appends the numbers of any other sequence, element by element.
PyResult<void> append_iterated_floats(std::vector<double>& out, PyObject* sequence,
                                      SignalPoll& signals) {
  reserve_for_append(out, detail::capped_length_hint(sequence));
  Ref iterator = Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) {
    return fetch_error();
  }
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    HALQEN_TRY_ASSIGN(const double value, extract_f64(item.get()));
    out.push_back(value);
    HALQEN_TRY_VOID(signals.advance(1));
  }
  if (PyErr_Occurred()) {
    return fetch_error();
  }
  return {};
}

// Appends the numbers of one vector: an exact list of floats, a numeric
// buffer, or any sequence, in that order of preference.
PyResult<void> append_float_sequence(std::vector<double>& out, PyObject* object,
                                     SignalPoll& signals) {
  HALQEN_TRY_VOID(detail::check_sequence(object));
  if (PyList_CheckExact(object)) {
    return append_exact_float_list(out, object, signals);
  }
  const std::size_t before = out.size();
  if (append_buffer_vector(object, out)) {
    return signals.advance(out.size() - before);
  }
  return append_iterated_floats(out, object, signals);
}

PyResult<void> append_vector(VectorList& vectors, PyObject* object, SignalPoll& signals) {
  HALQEN_TRY_VOID(append_float_sequence(vectors.numbers(), object, signals));
  vectors.end_vector();
  return {};
}

// Numbers an exact list of vectors holds in its exact lists and tuples, read
// without running any code: room reserved for them exists in the list's own
// item arrays already.
std::size_t numbers_in_plain_rows(PyObject* list) {
  std::size_t numbers = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyList_CheckExact(item)) {
      numbers += static_cast<std::size_t>(PyList_GET_SIZE(item));
    } else if (PyTuple_CheckExact(item)) {
      numbers += static_cast<std::size_t>(PyTuple_GET_SIZE(item));
    }
  }
  return numbers;
}

// Same element order and the same reaction to code that changes the list
// mid-conversion as the list iterator, without creating one.
PyResult<void> append_exact_list_vectors(VectorList& vectors, PyObject* list, SignalPoll& signals) {
  vectors.reserve_vectors(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  vectors.reserve_numbers(numbers_in_plain_rows(list));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    HALQEN_TRY_VOID(append_vector(vectors, item.get(), signals));
  }
  return {};
}

PyResult<void> append_iterated_vectors(VectorList& vectors, PyObject* sequence,
                                       SignalPoll& signals) {
  vectors.reserve_vectors(detail::capped_length_hint(sequence));
  Ref iterator = Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) {
    return fetch_error();
  }
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    HALQEN_TRY_VOID(append_vector(vectors, item.get(), signals));
  }
  if (PyErr_Occurred()) {
    return fetch_error();
  }
  return {};
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
  std::vector<double> out;
  SignalPoll signals;
  HALQEN_TRY_VOID(append_float_sequence(out, object, signals));
  return out;
}

PyResult<VectorList> extract_vector_rows(PyObject* object) {
  HALQEN_TRY_VOID(detail::check_sequence(object));
  VectorList vectors;
  SignalPoll signals;
  if (auto read = append_buffer_rows(object, vectors, signals)) {
    HALQEN_TRY_VOID(std::move(*read));
  } else if (PyList_CheckExact(object)) {
    HALQEN_TRY_VOID(append_exact_list_vectors(vectors, object, signals));
  } else {
    HALQEN_TRY_VOID(append_iterated_vectors(vectors, object, signals));
  }
  return vectors;
}

PyResult<std::vector<std::vector<double>>> extract_vector_list(PyObject* object) {
  HALQEN_TRY_ASSIGN(const VectorList vectors, extract_vector_rows(object));
  std::vector<std::vector<double>> out;
  out.reserve(vectors.size());
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    const std::span<const double> numbers = vectors.numbers_of(i);
    out.emplace_back(numbers.begin(), numbers.end());
  }
  return out;
}

}  // namespace halqen::py
