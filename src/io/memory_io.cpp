// The in-memory sink and source.
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

}  // namespace halqen::io
