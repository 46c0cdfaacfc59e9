// Encoding and checking of the file header.
#include "io/header.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "io/crc32c.hpp"
#include "io/kind_files.hpp"
#include "io/little_endian.hpp"
#include "metrics/metric_table.hpp"

namespace halqen::io {
namespace {

using HeaderBytes = std::array<std::byte, format::kHeaderBytes>;

std::span<std::byte> field(HeaderBytes& bytes, std::size_t offset) {
  return std::span(bytes).subspan(offset);
}
std::span<const std::byte> field(const HeaderBytes& bytes, std::size_t offset) {
  return std::span(bytes).subspan(offset);
}

std::uint32_t header_checksum(const HeaderBytes& bytes) {
  return crc32c(std::span(bytes).first(format::kHeaderChecksumOffset));
}

CodecError field_error(std::string text) {
  return CodecError::format("invalid header: " + std::move(text));
}

const KindFileRow* listed_kind(std::uint32_t code) {
  const auto& rows = IndexFiles::kFileRows;
  const auto row = std::ranges::find(rows, code, &KindFileRow::code);
  return row == rows.end() ? nullptr : &*row;
}

// Version 1 holds exactly the required sections; from version 2 on, a file
// may add any of the optional sections its kind admits.
std::expected<void, CodecError> check_section_count(const FileHeader& header,
                                                    const KindFileRow& kind) {
  const std::size_t fewest = kind.required_sections;
  const std::size_t most =
      header.version >= format::kOptionalSectionsVersion ? fewest + kind.optional.count : fewest;
  if (header.section_count >= fewest && header.section_count <= most) return {};
  const std::string expected =
      std::to_string(fewest) + (most == fewest ? "" : " to " + std::to_string(most));
  return std::unexpected(field_error("expected " + expected +
                                     " sections for this index kind, found " +
                                     std::to_string(header.section_count)));
}

std::expected<void, CodecError> check_graph_fields(const FileHeader& header,
                                                   const KindFileRow& kind) {
  if (kind.graph_parameters) return {};
  const bool graph_fields_zero =
      header.layers == 0 && header.m == 0 && header.ef_construction == 0 && header.ef_search == 0;
  if (!graph_fields_zero) {
    return std::unexpected(field_error(
        "index kind " + std::to_string(kind.code) + " has no graph parameters, found layers " +
        std::to_string(header.layers) + ", m " + std::to_string(header.m) + ", ef_construction " +
        std::to_string(header.ef_construction) + ", ef_search " +
        std::to_string(header.ef_search)));
  }
  return {};
}

std::expected<FileHeader, CodecError> decode_fields(const HeaderBytes& bytes,
                                                    std::uint32_t version) {
  FileHeader header;
  header.version = version;
  header.kind = load_le<std::uint32_t>(field(bytes, format::kKindOffset));
  const KindFileRow* kind = listed_kind(header.kind);
  if (kind == nullptr) {
    return std::unexpected(field_error("unknown index kind " + std::to_string(header.kind)));
  }
  if (version < kind->version) {
    return std::unexpected(field_error(
        "index kind " + std::to_string(header.kind) + " is stored from format version " +
        std::to_string(kind->version) + " on, found version " + std::to_string(version)));
  }
  const auto metric_code = load_le<std::uint32_t>(field(bytes, format::kMetricOffset));
  const std::optional<MetricKind> metric = metric_with_file_code(metric_code);
  if (!metric) {
    return std::unexpected(field_error("unknown metric code " + std::to_string(metric_code)));
  }
  header.metric = *metric;
  header.section_count = load_le<std::uint32_t>(field(bytes, format::kSectionCountOffset));
  if (auto checked = check_section_count(header, *kind); !checked) {
    return std::unexpected(checked.error());
  }
  const auto reserved = load_le<std::uint32_t>(field(bytes, format::kReservedOffset));
  if (reserved != 0) {
    return std::unexpected(
        field_error("reserved field is " + std::to_string(reserved) + ", expected 0"));
  }
  header.dim = load_le<std::uint64_t>(field(bytes, format::kDimOffset));
  header.count = load_le<std::uint64_t>(field(bytes, format::kCountOffset));
  header.layers = load_le<std::uint64_t>(field(bytes, format::kLayersOffset));
  header.m = load_le<std::uint64_t>(field(bytes, format::kMOffset));
  header.ef_construction = load_le<std::uint64_t>(field(bytes, format::kEfConstructionOffset));
  header.ef_search = load_le<std::uint64_t>(field(bytes, format::kEfSearchOffset));
  if (auto checked = check_graph_fields(header, *kind); !checked) {
    return std::unexpected(checked.error());
  }
  return header;
}

}  // namespace

HeaderBytes encode_header(const FileHeader& header) {
  HeaderBytes bytes{};
  std::ranges::copy(format::kMagic, bytes.begin() + format::kMagicOffset);
  store_le(field(bytes, format::kVersionOffset), header.version);
  store_le(field(bytes, format::kKindOffset), header.kind);
  store_le(field(bytes, format::kMetricOffset), metric_row(header.metric).file_code);
  store_le(field(bytes, format::kSectionCountOffset), header.section_count);
  store_le(field(bytes, format::kDimOffset), header.dim);
  store_le(field(bytes, format::kCountOffset), header.count);
  store_le(field(bytes, format::kLayersOffset), header.layers);
  store_le(field(bytes, format::kMOffset), header.m);
  store_le(field(bytes, format::kEfConstructionOffset), header.ef_construction);
  store_le(field(bytes, format::kEfSearchOffset), header.ef_search);
  store_le(field(bytes, format::kHeaderChecksumOffset), header_checksum(bytes));
  return bytes;
}

std::expected<FileHeader, CodecError> read_header(ByteSource& source) {
  HeaderBytes bytes{};
  const auto magic = std::span(bytes).first(format::kMagic.size());
  if (source.remaining() < magic.size()) {
    return std::unexpected(CodecError::format("not a halqen index file"));
  }
  if (auto got = source.read(magic); !got) return std::unexpected(got.error());
  if (!std::ranges::equal(magic, format::kMagic)) {
    return std::unexpected(CodecError::format("not a halqen index file"));
  }
  const auto rest = std::span(bytes).subspan(magic.size());
  if (source.remaining() < rest.size()) {
    return std::unexpected(CodecError::format(
        "truncated: expected " + std::to_string(format::kHeaderBytes) + " bytes of header, found " +
        std::to_string(magic.size() + source.remaining())));
  }
  if (auto got = source.read(rest); !got) return std::unexpected(got.error());
  const auto version = load_le<std::uint32_t>(field(bytes, format::kVersionOffset));
  if (version < format::kFirstVersion || version > format::kLatestVersion) {
    return std::unexpected(
        CodecError::format("unsupported format version " + std::to_string(version)));
  }
  if (header_checksum(bytes) !=
      load_le<std::uint32_t>(field(bytes, format::kHeaderChecksumOffset))) {
    return std::unexpected(CodecError::format("checksum mismatch in the header"));
  }
  return decode_fields(bytes, version);
}

}  // namespace halqen::io
