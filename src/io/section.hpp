// One section of an index file: a 16-byte head (tag, reserved zero, payload
// length), the payload, and the CRC-32C of head and payload. Payloads are
// checksummed piece by piece as they pass, so a large array goes between the
// index's memory and the file in one pass, in cache-sized pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "common/interrupt.hpp"
#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/crc32c.hpp"
#include "io/format.hpp"

namespace halqen::io {

// Values a section holds as arrays: unsigned integers and doubles (as bits).
template <typename T>
concept ArrayValue =
    std::is_same_v<T, double> || std::is_same_v<T, float> || std::is_same_v<T, std::uint64_t> ||
    std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint8_t>;

class SectionWriter {
 public:
  // Writes the head of a section whose payload will be `length` bytes.
  static std::expected<SectionWriter, CodecError> begin(ByteSink& sink, format::SectionTag tag,
                                                        std::uint64_t length);

  std::expected<void, CodecError> write(std::span<const std::byte> bytes);
  template <ArrayValue T>
  std::expected<void, CodecError> write_values(std::span<const T> values);

  // Writes the checksum. Precondition: exactly `length` payload bytes were
  // written (std::logic_error otherwise).
  std::expected<void, CodecError> finish();

 private:
  SectionWriter(ByteSink& sink, std::uint64_t length) : sink_(&sink), unwritten_(length) {}

  ByteSink* sink_;
  std::uint64_t unwritten_;
  Crc32c checksum_;
};

// How long a section's payload must be, and why, for the mismatch message.
struct ExpectedLength {
  std::uint64_t bytes;
  std::string reason;  // e.g. "3 vectors of dim 4"
};

class SectionReader {
 public:
  // Reads the head and checks its tag (the section `tag` must come next), its
  // reserved field, its length against `exact` when given, and that the
  // payload fits in what remains of the input.
  static std::expected<SectionReader, CodecError> open(ByteSource& source, format::SectionTag tag,
                                                       const std::optional<ExpectedLength>& exact);
  // As open, for a section that may be any of `tags` (optional sections);
  // tag() tells which it is.
  static std::expected<SectionReader, CodecError> open_any_of(
      ByteSource& source, std::span<const format::SectionTag> tags);

  format::SectionTag tag() const { return tag_; }

  std::uint64_t length() const { return length_; }
  std::uint64_t unread() const { return unread_; }

  // Precondition: out.size() <= unread() (std::length_error otherwise).
  std::expected<void, CodecError> read(std::span<std::byte> out);
  template <ArrayValue T>
  std::expected<void, CodecError> read_values(std::span<T> out);

  // Reads `count` values into `out` (emptied first) in pieces of a few
  // megabytes, asking `interrupt` between them: memory is used as the data
  // arrives, and an interrupted read frees what it held. When even the
  // address space for `count` values cannot be had, fails with an
  // out-of-memory error naming the section's length. `spare`: room for
  // this many more values, reserved (address space only, untouched) so that
  // the first appends after a load copy nothing; at most a share of
  // `count`, which the section bounds.
  // Precondition: count * sizeof(T) <= unread() (std::length_error otherwise).
  template <ArrayValue T>
  std::expected<void, CodecError> read_values_growing(std::vector<T>& out, std::uint64_t count,
                                                      Interrupt& interrupt,
                                                      std::uint64_t spare = 0);

  // Moves past `bytes` of the payload without reading them: they are used
  // where they lie (a mapped file), and the section's checksum, which would
  // read them, is then not compared. Precondition: bytes <= unread().
  std::expected<void, CodecError> pass_over(std::uint64_t bytes);

  // Reads the stored checksum and compares (unless bytes were passed over).
  // Precondition: unread() == 0.
  std::expected<void, CodecError> finish();

 private:
  using Head = std::array<std::byte, format::kSectionHeadBytes>;
  // The checks after the tag's: reserved field, length, what remains.
  static std::expected<SectionReader, CodecError> from_head(
      ByteSource& source, format::SectionTag tag, const Head& head,
      const std::optional<ExpectedLength>& exact);

  SectionReader(ByteSource& source, format::SectionTag tag, std::uint64_t length)
      : source_(&source), tag_(tag), length_(length), unread_(length) {}

  ByteSource* source_;
  format::SectionTag tag_;
  std::uint64_t length_;
  std::uint64_t unread_;
  Crc32c checksum_;
  bool passed_over_ = false;
};

}  // namespace halqen::io
