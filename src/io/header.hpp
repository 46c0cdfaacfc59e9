// The fixed 80-byte header at the start of every index file.
#pragma once

#include <array>
#include <cstdint>
#include <expected>

#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/format.hpp"

namespace halqen::io {

// The parameters and counts the header carries. A flat index has no graph
// parameters: its layers, m, ef_construction and ef_search are 0.
struct FileHeader {
  format::IndexKind kind = format::IndexKind::Flat;
  format::MetricCode metric = format::MetricCode::Euclidean;
  std::uint32_t section_count = 0;
  std::uint64_t dim = 0;
  std::uint64_t count = 0;
  std::uint64_t layers = 0;
  std::uint64_t m = 0;
  std::uint64_t ef_construction = 0;
  std::uint64_t ef_search = 0;
};

// The header's bytes: magic, version 1, the fields, and their checksum.
std::array<std::byte, format::kHeaderBytes> encode_header(const FileHeader& header);

// Reads and checks the header, in this order: the magic ("not a halqen index
// file"), the length, the version, the checksum, then every field's range
// and the section count for the kind.
std::expected<FileHeader, CodecError> read_header(ByteSource& source);

}  // namespace halqen::io
