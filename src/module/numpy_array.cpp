#include "module/numpy_array.hpp"

#include <utility>

namespace halqen::py {

PyResult<NumpyArray> NumpyArray::empty(std::span<const std::size_t> shape, const char* dtype) {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return fetch_error();
  Ref dimensions = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  if (!dimensions) return fetch_error();
  for (std::size_t i = 0; i < shape.size(); ++i) {
    PyObject* extent = PyLong_FromSize_t(shape[i]);
    if (extent == nullptr) return fetch_error();
    PyTuple_SET_ITEM(dimensions.get(), static_cast<Py_ssize_t>(i), extent);
  }
  Ref array =
      Ref::steal(PyObject_CallMethod(numpy.get(), "empty", "(Os)", dimensions.get(), dtype));
  if (!array) return fetch_error();
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
    return fetch_error();
  }
  return NumpyArray(std::move(array), view);
}

NumpyArray::NumpyArray(NumpyArray&& other) noexcept
    : array_(std::move(other.array_)), view_(other.view_) {
  other.view_.obj = nullptr;
}

NumpyArray::~NumpyArray() {
  if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

Ref NumpyArray::release() && {
  if (view_.obj != nullptr) PyBuffer_Release(&view_);
  view_.obj = nullptr;
  return std::move(array_);
}

}  // namespace halqen::py
