// Whole sections read and written in bulk, shared by every kind's codec:
// an array section goes between the index's memory and the file in one
// pass; a small variable-length section is read whole for a cursor to parse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "common/checked_product.hpp"
#include "common/interrupt.hpp"
#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/format.hpp"
#include "io/header.hpp"
#include "io/section.hpp"

namespace halqen::io {

// "invalid header: {what} exceed 2^64 bytes".
inline CodecError too_large(const std::string& what) {
  return CodecError::format("invalid header: " + what + " exceed 2^64 bytes");
}

// "{count} {noun}", for the reasons of length checks.
inline std::string count_of(std::uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun;
}

// Reads a section whose payload is exactly `count` values of T into `out`,
// which grows as the values arrive, `interrupt` asked between pieces.
template <typename T>
std::expected<void, CodecError> read_array_section(ByteSource& source, format::SectionTag tag,
                                                   std::uint64_t count, std::vector<T>& out,
                                                   const std::string& reason,
                                                   Interrupt& interrupt) {
  const auto bytes = checked_product(count, sizeof(T));
  if (!bytes) return std::unexpected(too_large(reason));
  auto section = SectionReader::open(source, tag, ExpectedLength{*bytes, reason});
  if (!section) return std::unexpected(section.error());
  if (auto got = section->read_values_growing(out, count, interrupt); !got) return got;
  return section->finish();
}

template <typename T>
std::expected<void, CodecError> write_array_section(ByteSink& sink, format::SectionTag tag,
                                                    std::span<const T> values) {
  auto section = SectionWriter::begin(sink, tag, values.size_bytes());
  if (!section) return std::unexpected(section.error());
  if (auto written = section->write_values(values); !written) return written;
  return section->finish();
}

// The vectors section: the header's count rows of its dim values.
inline std::expected<void, CodecError> read_vectors(ByteSource& source, const FileHeader& header,
                                                    std::vector<double>& vectors,
                                                    Interrupt& interrupt) {
  const std::string reason =
      count_of(header.count, "vectors") + " of dim " + std::to_string(header.dim);
  const auto values = checked_product(header.count, header.dim);
  if (!values) return std::unexpected(too_large(reason));
  return read_array_section(source, format::SectionTag::Vectors, *values, vectors, reason,
                            interrupt);
}

// A variable-length section whole in memory (its length was checked
// against the input), for a cursor to parse.
inline std::expected<std::vector<std::uint8_t>, CodecError> read_small_section(
    ByteSource& source, format::SectionTag tag, Interrupt& interrupt) {
  auto section = SectionReader::open(source, tag, std::nullopt);
  if (!section) return std::unexpected(section.error());
  std::vector<std::uint8_t> payload;
  if (auto got = section->read_values_growing(payload, section->length(), interrupt); !got) {
    return std::unexpected(got.error());
  }
  if (auto checked = section->finish(); !checked) return std::unexpected(checked.error());
  return payload;
}

}  // namespace halqen::io
