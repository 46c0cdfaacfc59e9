// The fixed 80-byte header at the start of every index file.
#pragma once

#include <array>
#include <cstdint>
#include <expected>

#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/format.hpp"
#include "metrics/metrics.hpp"

namespace halqen::io {

// The parameters and counts the header carries. A kind without graph
// parameters has 0 in layers, m, ef_construction and ef_search.
struct FileHeader {
  // The reader keeps the version it read, and the kind decodes by it.
  std::uint32_t version = format::kFirstVersion;
  std::uint32_t kind = 0;  // a kind's code (io/file_kind.hpp)
  MetricKind metric = MetricKind::Euclidean;
  std::uint32_t section_count = 0;
  std::uint64_t dim = 0;
  std::uint64_t count = 0;
  std::uint64_t layers = 0;
  std::uint64_t m = 0;
  std::uint64_t ef_construction = 0;
  std::uint64_t ef_search = 0;
};

// The header's bytes: magic, the version and fields, and their checksum.
std::array<std::byte, format::kHeaderBytes> encode_header(const FileHeader& header);

// Reads and checks the header, in this order: the magic ("not a halqen index
// file"), the length, the version (one this reader knows), the checksum, then
// every field's range: a listed kind, a metric of the metric table, the
// section count the kind and version allow, and zero graph parameters for a
// kind without them.
std::expected<FileHeader, CodecError> read_header(ByteSource& source);

}  // namespace halqen::io
