// A bytes-like argument, read through the buffer protocol without a copy.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "module/convert.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// Holds the exporter's buffer (and so the exporter) until destroyed.
class ByteBuffer {
 public:
  // TypeError for an object without a contiguous buffer (a str, a list).
  static PyResult<ByteBuffer> acquire(PyObject* object);

  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&&) = delete;
  ~ByteBuffer();

  std::span<const std::byte> bytes() const;

 private:
  ByteBuffer() = default;

  Py_buffer view_{};
  bool held_ = false;
};

template <>
struct FromPython<ByteBuffer> {
  static PyResult<ByteBuffer> convert(PyObject* o) { return ByteBuffer::acquire(o); }
};

}  // namespace halqen::py
