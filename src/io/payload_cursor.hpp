// Bounds-checked reading of a small section's payload held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "io/codec_error.hpp"
#include "io/little_endian.hpp"

namespace halqen::io {

// Every take either returns what was asked for or an error naming the
// section, the offset and how many bytes were wanted and left.
class PayloadCursor {
 public:
  PayloadCursor(std::span<const std::byte> payload, std::string_view section)
      : payload_(payload), section_(section) {}

  std::size_t remaining() const { return payload_.size() - position_; }
  std::size_t position() const { return position_; }

  std::expected<std::span<const std::byte>, CodecError> take(std::uint64_t bytes) {
    if (bytes > remaining()) {
      return std::unexpected(CodecError::format("malformed " + std::string(section_) +
                                                " section: expected " + std::to_string(bytes) +
                                                " bytes at offset " + std::to_string(position_) +
                                                ", found " + std::to_string(remaining())));
    }
    const auto taken = payload_.subspan(position_, static_cast<std::size_t>(bytes));
    position_ += static_cast<std::size_t>(bytes);
    return taken;
  }

  template <typename Unsigned>
  std::expected<Unsigned, CodecError> take_le() {
    auto bytes = take(sizeof(Unsigned));
    if (!bytes) return std::unexpected(bytes.error());
    return load_le<Unsigned>(*bytes);
  }

  // Fails when bytes are left over.
  std::expected<void, CodecError> expect_end() const {
    if (remaining() != 0) {
      return std::unexpected(CodecError::format(
          "malformed " + std::string(section_) + " section: " + std::to_string(remaining()) +
          " bytes left over at offset " + std::to_string(position_)));
    }
    return {};
  }

 private:
  std::span<const std::byte> payload_;
  std::size_t position_ = 0;
  std::string_view section_;
};

}  // namespace halqen::io
