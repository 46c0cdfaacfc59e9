#include "ext/trimmed.hpp"

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

namespace halqen::py {
namespace {

constexpr int kMostDimensions = 2;

// A C-contiguous copy (or view) of an argument in one dtype, and its buffer.
class ReadArray {
 public:
  static PyResult<ReadArray> of(PyObject* given, const char* dtype, const char* name) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return fetch_error();
    Ref array =
        Ref::steal(PyObject_CallMethod(numpy.get(), "ascontiguousarray", "(Os)", given, dtype));
    if (!array) return fetch_error();
    ReadArray read(std::move(array));
    if (PyObject_GetBuffer(read.array_.get(), &read.view_, PyBUF_C_CONTIGUOUS) != 0) {
      return fetch_error();
    }
    read.held_ = true;
    if (read.view_.ndim < 1 || read.view_.ndim > kMostDimensions) {
      return std::unexpected(PyErr::new_err(
          PyExc_ValueError, std::string("argument '") + name +
                                "': expected the 1-D or 2-D array a search returned, got " +
                                std::to_string(read.view_.ndim) + " dimensions"));
    }
    return read;
  }

  ReadArray(ReadArray&& other) noexcept
      : array_(std::move(other.array_)), view_(other.view_), held_(other.held_) {
    other.held_ = false;
  }
  ReadArray(const ReadArray&) = delete;
  ReadArray& operator=(const ReadArray&) = delete;
  ReadArray& operator=(ReadArray&&) = delete;
  ~ReadArray() {
    if (held_) PyBuffer_Release(&view_);
  }

  int dimensions() const { return view_.ndim; }
  Py_ssize_t extent(int axis) const { return view_.shape[axis]; }
  template <class T>
  std::span<const T> elements() const {
    return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
  }

 private:
  explicit ReadArray(Ref array) : array_(std::move(array)) {}

  Ref array_;
  Py_buffer view_{};
  bool held_ = false;
};

bool same_shape(const ReadArray& a, const ReadArray& b) {
  if (a.dimensions() != b.dimensions()) return false;
  for (int axis = 0; axis < a.dimensions(); ++axis) {
    if (a.extent(axis) != b.extent(axis)) return false;
  }
  return true;
}

std::string shape_of(const ReadArray& a) {
  std::string text = "(";
  for (int axis = 0; axis < a.dimensions(); ++axis) {
    text += (axis > 0 ? ", " : "") + std::to_string(a.extent(axis));
  }
  return text + (a.dimensions() == 1 ? ",)" : ")");
}

IdPairs row_pairs(std::span<const std::int64_t> ids, std::span<const double> distances) {
  IdPairs pairs;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] >= 0) pairs.emplace_back(static_cast<std::uint64_t>(ids[i]), distances[i]);
  }
  return pairs;
}

}  // namespace

PyResult<std::vector<IdPairs>> trimmed(AnyObject ids, AnyObject distances) {
  HALQEN_TRY_ASSIGN(const ReadArray id_array, ReadArray::of(ids.object.get(), "int64", "ids"));
  HALQEN_TRY_ASSIGN(const ReadArray distance_array,
                    ReadArray::of(distances.object.get(), "float64", "distances"));
  if (!same_shape(id_array, distance_array)) {
    return std::unexpected(PyErr::new_err(
        PyExc_ValueError, "ids of shape " + shape_of(id_array) + " and distances of shape " +
                              shape_of(distance_array) +
                              " are no answer of one search: pass both arrays it returned"));
  }
  const std::span<const std::int64_t> id_cells = id_array.elements<std::int64_t>();
  const std::span<const double> distance_cells = distance_array.elements<double>();
  // 1-D arrays are the answer of one query: one row.
  const bool one_row = id_array.dimensions() == 1;
  const auto rows = one_row ? std::size_t{1} : static_cast<std::size_t>(id_array.extent(0));
  const auto width = static_cast<std::size_t>(id_array.extent(one_row ? 0 : 1));
  std::vector<IdPairs> answers;
  answers.reserve(rows);
  for (std::size_t row = 0; row < rows; ++row) {
    answers.push_back(row_pairs(id_cells.subspan(row * width, width),
                                distance_cells.subspan(row * width, width)));
  }
  return answers;
}

}  // namespace halqen::py
