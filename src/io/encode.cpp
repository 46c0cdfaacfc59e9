// The encoder: header, then the sections of the index's kind in order.
#include "io/encode.hpp"

#include <array>
#include <stdexcept>
#include <vector>

#include "io/flat_file.hpp"
#include "io/format.hpp"
#include "io/header.hpp"
#include "io/hnsw_file.hpp"
#include "io/metadata_codec.hpp"
#include "io/section.hpp"
#include "io/section_arrays.hpp"

namespace halqen::io {
namespace {

using format::SectionTag;

constexpr std::uint64_t kSectionFrameBytes =
    format::kSectionHeadBytes + format::kSectionChecksumBytes;
// Offsets of the graph section are written through a buffer of this many.
constexpr std::size_t kOffsetsPerPiece = 4096;

void check_vectors(std::uint64_t count, std::uint64_t dim, std::span<const double> vectors) {
  const bool consistent =
      dim == 0 ? vectors.empty() : vectors.size() % dim == 0 && vectors.size() / dim == count;
  if (!consistent)
    throw std::invalid_argument("encode: the vectors do not hold count * dim values");
}

std::expected<void, CodecError> write_header(const FileHeader& header, ByteSink& sink) {
  return sink.write(encode_header(header));
}

// One zero byte per vector: this version stores no deleted vectors.
std::expected<void, CodecError> write_deleted_section(ByteSink& sink, std::uint64_t count) {
  static constexpr std::array<std::uint8_t, 4096> kNoneDeleted{};
  auto section = SectionWriter::begin(sink, SectionTag::Deleted, count);
  if (!section) return std::unexpected(section.error());
  for (std::uint64_t left = count; left != 0;) {
    const auto piece = std::min<std::uint64_t>(left, kNoneDeleted.size());
    if (auto written = section->write_values(std::span(kNoneDeleted).first(piece)); !written) {
      return written;
    }
    left -= piece;
  }
  return section->finish();
}

std::uint64_t total_links(const HNSWView& index) {
  std::uint64_t links = 0;
  for (std::uint64_t node = 0; node < index.count; ++node) links += index.neighbor_count(node);
  return links;
}

std::uint64_t graph_payload_bytes(const HNSWView& index) {
  return (index.count + 1) * sizeof(std::uint64_t) + total_links(index) * sizeof(std::uint32_t);
}

std::expected<void, CodecError> write_offsets(const HNSWView& index, SectionWriter& section) {
  std::vector<std::uint64_t> piece;
  piece.reserve(kOffsetsPerPiece);
  std::uint64_t offset = 0;
  piece.push_back(offset);
  for (std::uint64_t node = 0; node < index.count; ++node) {
    offset += index.neighbor_count(node);
    piece.push_back(offset);
    if (piece.size() == kOffsetsPerPiece) {
      if (auto written = section.write_values<std::uint64_t>(piece); !written) return written;
      piece.clear();
    }
  }
  return section.write_values<std::uint64_t>(piece);
}

std::expected<void, CodecError> write_graph_section(const HNSWView& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::Graph, graph_payload_bytes(index));
  if (!section) return std::unexpected(section.error());
  if (auto written = write_offsets(index, *section); !written) return written;
  for (std::uint64_t node = 0; node < index.count; ++node) {
    const std::vector<std::uint32_t> list = index.neighbors(node);
    if (auto written = section->write_values(std::span<const std::uint32_t>(list)); !written) {
      return written;
    }
  }
  return section->finish();
}

std::expected<void, CodecError> write_schema_section(const HNSWView& index, ByteSink& sink) {
  const auto& schema = index.params->schema;
  auto section = SectionWriter::begin(sink, SectionTag::Schema, schema_payload_bytes(schema));
  if (!section) return std::unexpected(section.error());
  if (auto written = write_schema(schema, *section); !written) return written;
  return section->finish();
}

std::uint64_t metadata_payload_bytes(const HNSWView& index) {
  std::uint64_t bytes = 0;
  for (std::uint64_t node = 0; node < index.count; ++node) {
    bytes += record_payload_bytes(index.record(node));
  }
  return bytes;
}

std::expected<void, CodecError> write_metadata_section(const HNSWView& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::Metadata, metadata_payload_bytes(index));
  if (!section) return std::unexpected(section.error());
  for (std::uint64_t node = 0; node < index.count; ++node) {
    if (auto written = write_record(index.record(node), *section); !written) return written;
  }
  return section->finish();
}

FileHeader flat_header(const FlatView& index) {
  using Kind = FileKind<FlatIndex>;
  return {.version = Kind::kVersion,
          .kind = Kind::kCode,
          .metric = index.metric,
          .section_count = static_cast<std::uint32_t>(Kind::kSections.size()),
          .dim = index.dim,
          .count = index.count};
}

FileHeader hnsw_header(const HNSWView& index) {
  const HNSWParams& params = *index.params;
  using Kind = FileKind<HNSW>;
  return {.version = Kind::kVersion,
          .kind = Kind::kCode,
          .metric = params.metric,
          .section_count = static_cast<std::uint32_t>(Kind::kSections.size()),
          .dim = params.dim,
          .count = index.count,
          .layers = params.layers,
          .m = params.m,
          .ef_construction = params.ef_construction,
          .ef_search = params.ef_search};
}

void check_view(const HNSWView& index) {
  if (index.params == nullptr || !index.neighbors || !index.record) {
    throw std::invalid_argument("encode: incomplete graph index view");
  }
  check_vectors(index.count, index.params->dim, index.vectors);
  if (index.levels.size() != index.count) {
    throw std::invalid_argument("encode: levels do not hold one entry per node");
  }
}

}  // namespace

std::uint64_t encoded_size(const FlatView& index) {
  return format::kHeaderBytes + kSectionFrameBytes + index.vectors.size_bytes() +
         kSectionFrameBytes + index.count;
}

std::uint64_t encoded_size(const HNSWView& index) {
  return format::kHeaderBytes + format::kHNSWSections.size() * kSectionFrameBytes +
         index.vectors.size_bytes() + index.count + index.levels.size_bytes() +
         graph_payload_bytes(index) + schema_payload_bytes(index.params->schema) +
         metadata_payload_bytes(index);
}

std::expected<void, CodecError> encode(const FlatView& index, ByteSink& sink) {
  check_vectors(index.count, index.dim, index.vectors);
  if (auto written = write_header(flat_header(index), sink); !written) return written;
  if (auto written = write_array_section(sink, SectionTag::Vectors, index.vectors); !written) {
    return written;
  }
  return write_deleted_section(sink, index.count);
}

std::expected<void, CodecError> encode(const HNSWView& index, ByteSink& sink) {
  check_view(index);
  if (auto written = write_header(hnsw_header(index), sink); !written) return written;
  if (auto written = write_array_section(sink, SectionTag::Vectors, index.vectors); !written) {
    return written;
  }
  if (auto written = write_deleted_section(sink, index.count); !written) return written;
  if (auto written = write_array_section(sink, SectionTag::Levels, index.levels); !written) {
    return written;
  }
  if (auto written = write_graph_section(index, sink); !written) return written;
  if (auto written = write_schema_section(index, sink); !written) return written;
  return write_metadata_section(index, sink);
}

}  // namespace halqen::io
