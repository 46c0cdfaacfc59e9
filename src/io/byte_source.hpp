// Where encoded bytes come from: a memory buffer or a file descriptor. The
// decoder asks how many bytes remain before it sizes anything, then reads
// large arrays straight into the vectors that become the index's storage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "io/codec_error.hpp"

namespace halqen::io {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes between the read position and the end of the input.
  virtual std::uint64_t remaining() const = 0;
  // Fills `out` completely. Precondition: out.size() <= remaining()
  // (std::length_error otherwise); a file that shrinks under the reader
  // yields a format error naming the shortfall.
  virtual std::expected<void, CodecError> read(std::span<std::byte> out) = 0;
  // Moves past `count` bytes (precondition: count <= remaining()).
  virtual std::expected<void, CodecError> skip(std::uint64_t count);
};

class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::uint64_t remaining() const override { return bytes_.size() - position_; }
  std::expected<void, CodecError> read(std::span<std::byte> out) override;
  std::expected<void, CodecError> skip(std::uint64_t count) override;
  // Where the next byte lies: what a mapped input's arrays are used from.
  const std::byte* next() const { return bytes_.data() + position_; }

 private:
  std::span<const std::byte> bytes_;
  std::size_t position_ = 0;
};

}  // namespace halqen::io
