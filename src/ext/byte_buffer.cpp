#include "ext/byte_buffer.hpp"

#include <utility>

namespace halqen::py {

PyResult<ByteBuffer> ByteBuffer::acquire(PyObject* object) {
  if (!PyObject_CheckBuffer(object)) {
    return std::unexpected(downcast_error(object, "bytes-like object"));
  }
  ByteBuffer buffer;
  if (PyObject_GetBuffer(object, &buffer.view_, PyBUF_SIMPLE) != 0) {
    return fetch_error();
  }
  buffer.held_ = true;
  return buffer;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : view_(other.view_), held_(std::exchange(other.held_, false)) {}

ByteBuffer::~ByteBuffer() {
  if (held_) {
    PyBuffer_Release(&view_);
  }
}

std::span<const std::byte> ByteBuffer::bytes() const {
  return {static_cast<const std::byte*>(view_.buf), static_cast<std::size_t>(view_.len)};
}

}  // namespace halqen::py
