// The decoder: the header, then the sections of the kind it names.
#include "io/decode.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/checked_product.hpp"
#include "io/format.hpp"
#include "io/header.hpp"
#include "io/kind_files.hpp"
#include "io/metadata_codec.hpp"
#include "io/section.hpp"
#include "io/section_arrays.hpp"
#include "kinds/index_kinds.hpp"

namespace halqen::io {
namespace {

using format::SectionTag;

constexpr std::size_t kFlagsPerPiece = 4096;

// Flags are checked once the checksum has passed, so damage reads as damage.
std::expected<void, CodecError> read_deleted(ByteSource& source, std::uint64_t count,
                                             Interrupt& interrupt) {
  auto section = SectionReader::open(source, SectionTag::Deleted,
                                     ExpectedLength{count, count_of(count, "vectors")});
  if (!section) return std::unexpected(section.error());
  std::array<std::uint8_t, kFlagsPerPiece> flags;
  std::optional<std::pair<std::uint64_t, std::uint8_t>> first_set;
  for (std::uint64_t first = 0; first < count;) {
    const auto piece = std::span(flags).first(std::min<std::uint64_t>(count - first, flags.size()));
    if (auto got = section->read_values(piece); !got) return got;
    if (interrupt.requested()) return std::unexpected(CodecError::interrupted());
    const auto set = std::ranges::find_if(piece, [](std::uint8_t flag) { return flag != 0; });
    if (set != piece.end() && !first_set) {
      first_set = {first + static_cast<std::uint64_t>(set - piece.begin()), *set};
    }
    first += piece.size();
  }
  if (auto checked = section->finish(); !checked) return checked;
  if (first_set) {
    return std::unexpected(CodecError::format(
        "vector " + std::to_string(first_set->first) + " has deleted flag " +
        std::to_string(first_set->second) + "; this version stores no deleted vectors"));
  }
  return {};
}

std::expected<void, CodecError> read_graph(ByteSource& source, HNSWParts& parts,
                                           Interrupt& interrupt) {
  const auto offset_bytes = checked_product(parts.count + 1, sizeof(std::uint64_t));
  if (!offset_bytes || parts.count + 1 == 0) return std::unexpected(too_large("the graph offsets"));
  auto section = SectionReader::open(source, SectionTag::Graph, std::nullopt);
  if (!section) return std::unexpected(section.error());
  const std::uint64_t length = section->length();
  if (length < *offset_bytes || (length - *offset_bytes) % sizeof(std::uint32_t) != 0) {
    return std::unexpected(CodecError::format(
        "the graph section holds " + std::to_string(length) + " bytes, expected " +
        std::to_string(*offset_bytes) + " bytes of offsets for " + count_of(parts.count, "nodes") +
        " and 4 bytes per link"));
  }
  // Both arrays fit in the section, whose length fits in the input.
  const std::uint64_t links = (length - *offset_bytes) / sizeof(std::uint32_t);
  if (auto got = section->read_values_growing(parts.neighbor_offsets, parts.count + 1, interrupt);
      !got) {
    return got;
  }
  if (auto got = section->read_values_growing(parts.neighbor_ids, links, interrupt); !got) {
    return got;
  }
  if (auto checked = section->finish(); !checked) return checked;
  if (parts.neighbor_offsets.back() != links) {
    return std::unexpected(CodecError::format(
        "the graph offsets end at link " + std::to_string(parts.neighbor_offsets.back()) +
        ", but the graph section holds " + count_of(links, "links")));
  }
  return {};
}

std::expected<void, CodecError> read_schema(ByteSource& source, HNSWParts& parts,
                                            Interrupt& interrupt) {
  auto schema = read_schema_section(source, interrupt);
  if (!schema) return std::unexpected(schema.error());
  parts.params.schema = std::move(*schema);
  return {};
}

std::expected<void, CodecError> read_metadata(ByteSource& source, HNSWParts& parts,
                                              Interrupt& interrupt) {
  auto records = read_metadata_section(source, parts.count, interrupt);
  if (!records) return std::unexpected(records.error());
  parts.records = std::move(*records);
  return {};
}

std::expected<void, CodecError> expect_end(const ByteSource& source) {
  if (source.remaining() != 0) {
    return std::unexpected(CodecError::format(
        "trailing data: " + std::to_string(source.remaining()) + " bytes after the last section"));
  }
  return {};
}

template <typename Index>
std::expected<LoadedIndex, CodecError> build(typename FileKind<Index>::Parts parts) {
  auto built = Index::from_parts(std::move(parts));
  if (!built) return std::unexpected(CodecError::format("invalid index: " + built.error().reason));
  // Built in place: the index is moved once, into the result.
  return std::expected<LoadedIndex, CodecError>(std::in_place, std::in_place_type<Index>,
                                                std::move(*built));
}

}  // namespace

std::expected<FlatParts, CodecError> FileKind<FlatIndex>::decode(ByteSource& source,
                                                                 const FileHeader& header,
                                                                 Interrupt& interrupt) {
  FlatParts parts;
  parts.dim = header.dim;
  parts.metric = header.metric;
  parts.count = header.count;
  if (auto got = read_vectors(source, header, parts.vectors, interrupt); !got) {
    return std::unexpected(got.error());
  }
  if (auto got = read_deleted(source, header.count, interrupt); !got) {
    return std::unexpected(got.error());
  }
  return parts;
}

std::expected<HNSWParts, CodecError> FileKind<HNSW>::decode(ByteSource& source,
                                                            const FileHeader& header,
                                                            Interrupt& interrupt) {
  HNSWParts parts;
  parts.params = {.dim = header.dim,
                  .layers = header.layers,
                  .m = header.m,
                  .ef_construction = header.ef_construction,
                  .ef_search = header.ef_search,
                  .metric = header.metric,
                  .schema = std::nullopt};
  parts.count = header.count;
  if (auto got = read_vectors(source, header, parts.vectors, interrupt); !got) {
    return std::unexpected(got.error());
  }
  if (auto got = read_deleted(source, header.count, interrupt); !got) {
    return std::unexpected(got.error());
  }
  if (auto got = read_array_section(source, SectionTag::Levels, header.count, parts.levels,
                                    count_of(header.count, "nodes"), interrupt);
      !got) {
    return std::unexpected(got.error());
  }
  if (auto got = read_graph(source, parts, interrupt); !got) return std::unexpected(got.error());
  if (auto got = read_schema(source, parts, interrupt); !got) return std::unexpected(got.error());
  if (auto got = read_metadata(source, parts, interrupt); !got) {
    return std::unexpected(got.error());
  }
  return parts;
}

std::expected<LoadedIndex, CodecError> decode_index(ByteSource& source, Interrupt& interrupt) {
  auto parts = decode_parts(source, interrupt);
  if (!parts) return std::unexpected(parts.error());
  // Parts and kinds are listed in the same order.
  std::optional<std::expected<LoadedIndex, CodecError>> loaded;
  kinds::IndexKinds::for_each([&]<class Core>(std::type_identity<Core>) {
    constexpr std::size_t kPosition = kinds::IndexKinds::position<Core>();
    if (parts->index() == kPosition) loaded = build<Core>(std::get<kPosition>(std::move(*parts)));
  });
  return std::move(*loaded);
}

std::expected<LoadedIndex, CodecError> decode_index(ByteSource& source) {
  NeverInterrupt never;
  return decode_index(source, never);
}

std::expected<DecodedParts, CodecError> decode_parts(ByteSource& source, Interrupt& interrupt) {
  auto header = read_header(source);
  if (!header) return std::unexpected(header.error());
  // read_header admits only the codes of listed kinds.
  std::optional<std::expected<DecodedParts, CodecError>> decoded;
  kinds::IndexKinds::for_each([&]<class Core>(std::type_identity<Core>) {
    if (header->kind != FileKind<Core>::kCode) return;
    auto parts = FileKind<Core>::decode(source, *header, interrupt);
    if (!parts) {
      decoded.emplace(std::unexpected(std::move(parts).error()));
      return;
    }
    decoded.emplace(std::in_place, std::in_place_type<typename FileKind<Core>::Parts>,
                    std::move(*parts));
  });
  if (!*decoded) return std::move(*decoded);
  if (auto ended = expect_end(source); !ended) return std::unexpected(ended.error());
  return std::move(*decoded);
}

std::expected<DecodedParts, CodecError> decode_parts(ByteSource& source) {
  NeverInterrupt never;
  return decode_parts(source, never);
}

std::expected<LoadedIndex, CodecError> decode_mapped_index(std::shared_ptr<const MappedFile> file,
                                                           Interrupt& interrupt) {
  SpanSource source(file->bytes());
  auto header = read_header(source);
  if (!header) return std::unexpected(header.error());
  if (header->kind != FileKind<graph::GraphIndex>::kCode) {
    // The other kinds are read into memory: the mapping goes with the call.
    SpanSource again(file->bytes());
    return decode_index(again, interrupt);
  }
  auto parts = FileKind<graph::GraphIndex>::decode_mapped(source, *header, file, interrupt);
  if (!parts) return std::unexpected(parts.error());
  if (auto ended = expect_end(source); !ended) return std::unexpected(ended.error());
  return build<graph::GraphIndex>(std::move(*parts));
}

}  // namespace halqen::io
