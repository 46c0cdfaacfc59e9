// The schema and metadata sections: schema names, and each node's record as
// a value count followed by tagged values.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "common/interrupt.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/payload_cursor.hpp"
#include "io/section.hpp"
#include "metadata/metadata.hpp"

namespace halqen::io {

std::uint64_t schema_payload_bytes(const std::optional<Schema>& schema);
std::expected<void, CodecError> write_schema(const std::optional<Schema>& schema,
                                             SectionWriter& section);
std::expected<std::optional<Schema>, CodecError> parse_schema(PayloadCursor& cursor);

std::uint64_t record_payload_bytes(std::span<const Metadata> record);
std::expected<void, CodecError> write_record(std::span<const Metadata> record,
                                             SectionWriter& section);
// `node` only names the record in messages.
std::expected<MetadataRecord, CodecError> parse_record(PayloadCursor& cursor, std::uint64_t node);

// The whole schema section, and the whole metadata section of `count`
// records, read from `source` and parsed to their last byte.
std::expected<std::optional<Schema>, CodecError> read_schema_section(ByteSource& source,
                                                                     Interrupt& interrupt);
std::expected<std::vector<MetadataRecord>, CodecError> read_metadata_section(ByteSource& source,
                                                                             std::uint64_t count,
                                                                             Interrupt& interrupt);

}  // namespace halqen::io
