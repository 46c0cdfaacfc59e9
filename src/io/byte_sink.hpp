// Where encoded bytes go: a caller's memory buffer or a file descriptor.
// The encoder writes large arrays (the vectors) in pieces straight from the
// index's memory, so no sink ever needs a copy of the whole file.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "io/codec_error.hpp"

namespace halqen::io {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends `bytes` in full, or fails.
  virtual std::expected<void, CodecError> write(std::span<const std::byte> bytes) = 0;
};

// Fills a buffer the caller sized with encoded_size(). Writing past its end
// is a broken precondition (std::length_error): the size was computed wrong.
class SpanSink final : public ByteSink {
 public:
  explicit SpanSink(std::span<std::byte> buffer) : buffer_(buffer) {}
  std::expected<void, CodecError> write(std::span<const std::byte> bytes) override;
  std::size_t written() const { return written_; }

 private:
  std::span<std::byte> buffer_;
  std::size_t written_ = 0;
};

}  // namespace halqen::io
