// New numpy arrays for halqen_ext's results, made without numpy's headers:
// numpy is imported when the first array is made (never by `import halqen`),
// the array is created by numpy.empty and filled through the buffer protocol.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "module/py_err.hpp"

namespace halqen::py {

// A writable C-contiguous numpy array and its buffer, released on every path.
class NumpyArray {
 public:
  // numpy.empty(shape, dtype); dtype is a numpy type name ("int64", "float64").
  static PyResult<NumpyArray> empty(std::span<const std::size_t> shape, const char* dtype);

  NumpyArray(NumpyArray&& other) noexcept;
  NumpyArray(const NumpyArray&) = delete;
  NumpyArray& operator=(const NumpyArray&) = delete;
  NumpyArray& operator=(NumpyArray&&) = delete;
  ~NumpyArray();

  // The elements, for T of the array's item size.
  template <class T>
  std::span<T> elements() const {
    return {static_cast<T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
  }
  // Ends the buffer's export and hands the array over.
  Ref release() &&;

 private:
  NumpyArray(Ref array, Py_buffer view) : array_(std::move(array)), view_(view) {}

  Ref array_;
  Py_buffer view_;
};

}  // namespace halqen::py
