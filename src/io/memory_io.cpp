// The in-memory sink and source.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"

namespace halqen::io {

std::expected<void, CodecError> SpanSink::write(std::span<const std::byte> bytes) {
  if (bytes.size() > buffer_.size() - written_) {
    throw std::length_error("SpanSink: write past the end of the buffer");
  }
  if (!bytes.empty()) std::memcpy(buffer_.data() + written_, bytes.data(), bytes.size());
  written_ += bytes.size();
  return {};
}

std::expected<void, CodecError> SpanSource::read(std::span<std::byte> out) {
  if (out.size() > remaining()) {
    throw std::length_error("SpanSource: read past the end of the input");
  }
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + position_, out.size());
  position_ += out.size();
  return {};
}

std::expected<void, CodecError> SpanSource::skip(std::uint64_t count) {
  if (count > remaining()) throw std::length_error("SpanSource: skip past the end of the input");
  position_ += static_cast<std::size_t>(count);
  return {};
}

std::expected<void, CodecError> ByteSource::skip(std::uint64_t count) {
  constexpr std::size_t kPiece = 4096;
  std::array<std::byte, kPiece> scratch;
  while (count > 0) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, kPiece));
    if (auto got = read(std::span(scratch).first(piece)); !got) return got;
    count -= piece;
  }
  return {};
}

}  // namespace halqen::io
