// The schema and metadata sections: schema names, and each node's record as
// a value count followed by tagged values.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

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

}  // namespace halqen::io
