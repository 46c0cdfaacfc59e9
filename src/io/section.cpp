// Writing and reading sections, with their checksums.
#include "io/section.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <stdexcept>

#include "common/huge_pages.hpp"
#include "io/little_endian.hpp"

namespace halqen::io {
namespace {

using format::SectionTag;

// Piece size for checksum-then-transfer: small enough to stay in L2 between
// the two, large enough to keep system calls and call overhead negligible.
constexpr std::size_t kPieceBytes = std::size_t{1} << 18;
// An array read from a file is filled this much at a time, with a check for
// interruption after each: a few milliseconds of reading.
constexpr std::uint64_t kGrowthPieceBytes = std::uint64_t{1} << 23;

// The unsigned integer a value's bits travel in.
template <typename T>
using Bits = std::conditional_t<std::is_same_v<T, double>, std::uint64_t,
                                std::conditional_t<std::is_same_v<T, float>, std::uint32_t, T>>;

template <typename T>
Bits<T> to_file_bits(T value) {
  return to_little_endian(std::bit_cast<Bits<T>>(value));
}

template <typename T>
T from_file_bits(Bits<T> bits) {
  return std::bit_cast<T>(to_little_endian(bits));
}

std::array<std::byte, format::kSectionHeadBytes> encode_head(SectionTag tag, std::uint64_t length) {
  std::array<std::byte, format::kSectionHeadBytes> head{};
  store_le(std::span(head).subspan(format::kSectionTagOffset), static_cast<std::uint32_t>(tag));
  store_le(std::span(head).subspan(format::kSectionLengthOffset), length);
  return head;
}

std::string truncated(std::uint64_t expected, const std::string& what, std::uint64_t found) {
  return "truncated: expected " + std::to_string(expected) + " bytes of " + what + ", found " +
         std::to_string(found);
}

}  // namespace

std::expected<SectionWriter, CodecError> SectionWriter::begin(ByteSink& sink, SectionTag tag,
                                                              std::uint64_t length) {
  SectionWriter writer(sink, length);
  const auto head = encode_head(tag, length);
  writer.checksum_.update(head);
  if (auto written = sink.write(head); !written) return std::unexpected(written.error());
  return writer;
}

std::expected<void, CodecError> SectionWriter::write(std::span<const std::byte> bytes) {
  if (bytes.size() > unwritten_) throw std::logic_error("SectionWriter: more than the length");
  unwritten_ -= bytes.size();
  while (!bytes.empty()) {
    const auto piece = bytes.first(std::min(bytes.size(), kPieceBytes));
    checksum_.update(piece);
    if (auto written = sink_->write(piece); !written) return written;
    bytes = bytes.subspan(piece.size());
  }
  return {};
}

template <ArrayValue T>
std::expected<void, CodecError> SectionWriter::write_values(std::span<const T> values) {
  if constexpr (kHostIsLittleEndian) {
    return write(std::as_bytes(values));
  } else {
    std::array<Bits<T>, kPieceBytes / sizeof(T)> converted;
    while (!values.empty()) {
      const auto piece = values.first(std::min(values.size(), converted.size()));
      std::ranges::transform(piece, converted.begin(), to_file_bits<T>);
      if (auto written = write(std::as_bytes(std::span(converted).first(piece.size()))); !written) {
        return written;
      }
      values = values.subspan(piece.size());
    }
    return {};
  }
}

std::expected<void, CodecError> SectionWriter::finish() {
  if (unwritten_ != 0) throw std::logic_error("SectionWriter: fewer bytes than the length");
  std::array<std::byte, format::kSectionChecksumBytes> stored{};
  store_le(std::span(stored), checksum_.value());
  return sink_->write(stored);
}

std::expected<SectionReader, CodecError> SectionReader::open(
    ByteSource& source, SectionTag tag, const std::optional<ExpectedLength>& exact) {
  const std::string section = std::string(format::section_name(tag)) + " section";
  Head head{};
  if (source.remaining() < head.size()) {
    return std::unexpected(
        CodecError::format(truncated(head.size(), "the " + section + " head", source.remaining())));
  }
  if (auto got = source.read(head); !got) return std::unexpected(got.error());
  const auto found_tag = load_le<std::uint32_t>(std::span(head).subspan(format::kSectionTagOffset));
  if (found_tag != static_cast<std::uint32_t>(tag)) {
    return std::unexpected(CodecError::format("expected the " + section + " (tag " +
                                              std::to_string(static_cast<std::uint32_t>(tag)) +
                                              "), found tag " + std::to_string(found_tag)));
  }
  return from_head(source, tag, head, exact);
}

std::expected<SectionReader, CodecError> SectionReader::open_any_of(
    ByteSource& source, std::span<const SectionTag> tags) {
  Head head{};
  if (source.remaining() < head.size()) {
    return std::unexpected(CodecError::format(
        truncated(head.size(), "an optional section's head", source.remaining())));
  }
  if (auto got = source.read(head); !got) return std::unexpected(got.error());
  const auto found_tag = load_le<std::uint32_t>(std::span(head).subspan(format::kSectionTagOffset));
  const auto admitted = std::ranges::find(
      tags, found_tag, [](SectionTag tag) { return static_cast<std::uint32_t>(tag); });
  if (admitted == tags.end()) {
    std::string expected;
    for (const SectionTag tag : tags) {
      expected += (expected.empty() ? "" : ", ") + std::to_string(static_cast<std::uint32_t>(tag));
    }
    const std::string allowed = expected.empty() ? "no further section may follow"
                                                 : "only tags " + expected + " may follow";
    return std::unexpected(CodecError::format("found a section of tag " +
                                              std::to_string(found_tag) + " where " + allowed));
  }
  return from_head(source, *admitted, head, std::nullopt);
}

std::expected<SectionReader, CodecError> SectionReader::from_head(
    ByteSource& source, SectionTag tag, const Head& head,
    const std::optional<ExpectedLength>& exact) {
  const std::string section = std::string(format::section_name(tag)) + " section";
  const auto reserved =
      load_le<std::uint32_t>(std::span(head).subspan(format::kSectionReservedOffset));
  if (reserved != 0) {
    return std::unexpected(CodecError::format("the " + section + " head's reserved field is " +
                                              std::to_string(reserved) + ", expected 0"));
  }
  const auto length = load_le<std::uint64_t>(std::span(head).subspan(format::kSectionLengthOffset));
  if (exact && exact->bytes != length) {
    return std::unexpected(CodecError::format(
        "the " + section + " holds " + std::to_string(length) + " bytes, expected " +
        std::to_string(exact->bytes) + " for " + exact->reason));
  }
  if (length > source.remaining()) {
    return std::unexpected(
        CodecError::format(truncated(length, "the " + section, source.remaining())));
  }
  SectionReader reader(source, tag, length);
  reader.checksum_.update(head);
  return reader;
}

std::expected<void, CodecError> SectionReader::read(std::span<std::byte> out) {
  if (out.size() > unread_) throw std::length_error("SectionReader: read past the section");
  unread_ -= out.size();
  while (!out.empty()) {
    const auto piece = out.first(std::min(out.size(), kPieceBytes));
    if (auto got = source_->read(piece); !got) return got;
    checksum_.update(piece);
    out = out.subspan(piece.size());
  }
  return {};
}

template <ArrayValue T>
std::expected<void, CodecError> SectionReader::read_values(std::span<T> out) {
  if (auto got = read(std::as_writable_bytes(out)); !got) return got;
  if constexpr (!kHostIsLittleEndian) {
    for (T& value : out) value = from_file_bits<T>(std::bit_cast<Bits<T>>(value));
  }
  return {};
}

// The array's address space is reserved at once: the file is as long as it
// claims (its length was checked), and reserving costs no memory, while
// growing by copies would make every large load read its data twice. Memory
// is touched only as the pieces arrive.
template <ArrayValue T>
std::expected<void, CodecError> SectionReader::read_values_growing(std::vector<T>& out,
                                                                   std::uint64_t count,
                                                                   Interrupt& interrupt,
                                                                   std::uint64_t spare) {
  if (count > unread_ / sizeof(T)) throw std::length_error("SectionReader: read past the section");
  out.clear();
  try {
    out.reserve(static_cast<std::size_t>(count + spare));
    prefer_huge_pages(out);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CodecError::out_of_memory(
        "out of memory reading the " + std::string(format::section_name(tag_)) +
        " section: " + std::to_string(length_) + " bytes claimed"));
  }
  while (out.size() < count) {
    const auto piece = static_cast<std::size_t>(
        std::min<std::uint64_t>(count - out.size(), kGrowthPieceBytes / sizeof(T)));
    out.resize(out.size() + piece);  // within the capacity: cannot throw
    if (auto got = read_values(std::span(out).last(piece)); !got) return got;
    if (interrupt.requested()) {
      out = std::vector<T>();
      return std::unexpected(CodecError::interrupted());
    }
  }
  return {};
}

std::expected<void, CodecError> SectionReader::pass_over(std::uint64_t bytes) {
  if (bytes > unread_) throw std::length_error("SectionReader: passed over the section's end");
  unread_ -= bytes;
  passed_over_ = true;
  return source_->skip(bytes);
}

std::expected<void, CodecError> SectionReader::finish() {
  if (unread_ != 0) throw std::logic_error("SectionReader: finished with unread payload");
  std::array<std::byte, format::kSectionChecksumBytes> stored{};
  const std::string section = std::string(format::section_name(tag_)) + " section";
  if (source_->remaining() < stored.size()) {
    return std::unexpected(CodecError::format(
        truncated(stored.size(), "the " + section + "'s checksum", source_->remaining())));
  }
  if (auto got = source_->read(stored); !got) return got;
  if (!passed_over_ && load_le<std::uint32_t>(std::span(stored)) != checksum_.value()) {
    return std::unexpected(CodecError::format("checksum mismatch in the " + section));
  }
  return {};
}

template std::expected<void, CodecError> SectionWriter::write_values(std::span<const double>);
template std::expected<void, CodecError> SectionWriter::write_values(
    std::span<const std::uint64_t>);
template std::expected<void, CodecError> SectionWriter::write_values(
    std::span<const std::uint32_t>);
template std::expected<void, CodecError> SectionWriter::write_values(std::span<const std::uint8_t>);
template std::expected<void, CodecError> SectionWriter::write_values(std::span<const float>);
template std::expected<void, CodecError> SectionReader::read_values(std::span<double>);
template std::expected<void, CodecError> SectionReader::read_values(std::span<std::uint64_t>);
template std::expected<void, CodecError> SectionReader::read_values(std::span<std::uint32_t>);
template std::expected<void, CodecError> SectionReader::read_values(std::span<std::uint8_t>);
template std::expected<void, CodecError> SectionReader::read_values_growing(std::vector<double>&,
                                                                            std::uint64_t,
                                                                            Interrupt&,
                                                                            std::uint64_t);
template std::expected<void, CodecError> SectionReader::read_values_growing(
    std::vector<std::uint64_t>&, std::uint64_t, Interrupt&, std::uint64_t);
template std::expected<void, CodecError> SectionReader::read_values_growing(
    std::vector<std::uint32_t>&, std::uint64_t, Interrupt&, std::uint64_t);
template std::expected<void, CodecError> SectionReader::read_values_growing(
    std::vector<std::uint8_t>&, std::uint64_t, Interrupt&, std::uint64_t);
template std::expected<void, CodecError> SectionReader::read_values_growing(std::vector<float>&,
                                                                            std::uint64_t,
                                                                            Interrupt&,
                                                                            std::uint64_t);

}  // namespace halqen::io
