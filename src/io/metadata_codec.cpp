// Encoding of schema names and metadata records.
#include "io/metadata_codec.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <variant>
#include <vector>

#include "io/format.hpp"
#include "io/little_endian.hpp"
#include "io/section_arrays.hpp"
#include "io/utf8.hpp"

namespace halqen::io {
namespace {

using format::SchemaPresence;
using format::ValueTag;

constexpr std::uint64_t kLengthBytes = sizeof(std::uint64_t);
constexpr std::uint64_t kTagBytes = sizeof(ValueTag);
// The smallest encoded value: a tag and eight bytes (a number, or the length
// of a string).
constexpr std::uint64_t kMinimumValueBytes = kTagBytes + sizeof(std::uint64_t);

std::uint64_t text_bytes(const std::string& text) {
  return kLengthBytes + text.size();
}

std::expected<void, CodecError> write_u64(SectionWriter& section, std::uint64_t value) {
  std::array<std::byte, sizeof value> bytes{};
  store_le(std::span(bytes), value);
  return section.write(bytes);
}

std::expected<void, CodecError> write_text(SectionWriter& section, const std::string& text) {
  if (auto written = write_u64(section, text.size()); !written) return written;
  return section.write(std::as_bytes(std::span(text)));
}

// Text as the writer stores it: a length, then UTF-8 (which is all a Python
// str can give). `what` names the text in a refusal, e.g. "schema name 2".
template <typename Describe>
std::expected<std::string, CodecError> parse_text(PayloadCursor& cursor, const Describe& what) {
  auto length = cursor.take_le<std::uint64_t>();
  if (!length) return std::unexpected(length.error());
  auto bytes = cursor.take(*length);
  if (!bytes) return std::unexpected(bytes.error());
  std::string text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (const auto invalid = first_invalid_utf8(text)) {
    return std::unexpected(CodecError::format(
        what() + " is not valid UTF-8: byte " + std::to_string(*invalid) + " of " +
        std::to_string(text.size()) + " is " +
        std::to_string(static_cast<unsigned>(static_cast<unsigned char>(text[*invalid])))));
  }
  return text;
}

// The value tags are the variant's alternative indices.
static_assert(
    std::is_same_v<std::variant_alternative_t<0, decltype(Metadata::value)>, std::string>);
static_assert(
    std::is_same_v<std::variant_alternative_t<1, decltype(Metadata::value)>, std::int64_t>);
static_assert(std::is_same_v<std::variant_alternative_t<2, decltype(Metadata::value)>, double>);

std::expected<void, CodecError> write_value(SectionWriter& section, const Metadata& value) {
  const auto tag = static_cast<ValueTag>(value.value.index());
  const std::array<std::byte, kTagBytes> tag_byte = {std::byte{static_cast<std::uint8_t>(tag)}};
  if (auto written = section.write(tag_byte); !written) return written;
  return std::visit(
      [&](const auto& payload) -> std::expected<void, CodecError> {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return write_text(section, payload);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return write_u64(section, static_cast<std::uint64_t>(payload));
        } else {
          return write_u64(section, double_bits(payload));
        }
      },
      value.value);
}

std::expected<Metadata, CodecError> parse_value(PayloadCursor& cursor, std::uint64_t node,
                                                std::uint64_t position) {
  auto tag = cursor.take_le<std::uint8_t>();
  if (!tag) return std::unexpected(tag.error());
  switch (static_cast<ValueTag>(*tag)) {
    case ValueTag::String: {
      auto text = parse_text(cursor, [&] {
        return "the string of node " + std::to_string(node) + ", value " + std::to_string(position);
      });
      if (!text) return std::unexpected(text.error());
      return Metadata::String(std::move(*text));
    }
    case ValueTag::Int: {
      auto bits = cursor.take_le<std::uint64_t>();
      if (!bits) return std::unexpected(bits.error());
      return Metadata::Int(static_cast<std::int64_t>(*bits));
    }
    case ValueTag::Float: {
      auto bits = cursor.take_le<std::uint64_t>();
      if (!bits) return std::unexpected(bits.error());
      return Metadata::Float(double_from_bits(*bits));
    }
  }
  return std::unexpected(CodecError::format("unknown metadata value tag " + std::to_string(*tag) +
                                            " (node " + std::to_string(node) + ", value " +
                                            std::to_string(position) + ")"));
}

}  // namespace

std::uint64_t schema_payload_bytes(const std::optional<Schema>& schema) {
  std::uint64_t bytes = sizeof(SchemaPresence);
  if (!schema) return bytes;
  bytes += kLengthBytes;
  for (const auto& name : *schema) bytes += text_bytes(name);
  return bytes;
}

std::expected<void, CodecError> write_schema(const std::optional<Schema>& schema,
                                             SectionWriter& section) {
  const auto presence = schema ? SchemaPresence::Present : SchemaPresence::Absent;
  const std::array<std::byte, 1> presence_byte = {std::byte{static_cast<std::uint8_t>(presence)}};
  if (auto written = section.write(presence_byte); !written) return written;
  if (!schema) return {};
  if (auto written = write_u64(section, schema->size()); !written) return written;
  for (const auto& name : *schema) {
    if (auto written = write_text(section, name); !written) return written;
  }
  return {};
}

std::expected<std::optional<Schema>, CodecError> parse_schema(PayloadCursor& cursor) {
  auto presence = cursor.take_le<std::uint8_t>();
  if (!presence) return std::unexpected(presence.error());
  if (*presence == static_cast<std::uint8_t>(SchemaPresence::Absent)) {
    return std::optional<Schema>{};
  }
  if (*presence != static_cast<std::uint8_t>(SchemaPresence::Present)) {
    return std::unexpected(CodecError::format("malformed schema section: presence byte is " +
                                              std::to_string(*presence) + ", expected 0 or 1"));
  }
  auto count = cursor.take_le<std::uint64_t>();
  if (!count) return std::unexpected(count.error());
  if (*count > cursor.remaining() / kLengthBytes) {
    return std::unexpected(CodecError::format(
        "malformed schema section: " + std::to_string(*count) + " names cannot fit in the " +
        std::to_string(cursor.remaining()) + " bytes left"));
  }
  Schema schema;
  schema.reserve(static_cast<std::size_t>(*count));
  for (std::uint64_t i = 0; i < *count; ++i) {
    auto name = parse_text(cursor, [&] { return "schema name " + std::to_string(i); });
    if (!name) return std::unexpected(name.error());
    schema.push_back(std::move(*name));
  }
  return std::optional<Schema>(std::move(schema));
}

std::uint64_t record_payload_bytes(std::span<const Metadata> record) {
  std::uint64_t bytes = kLengthBytes;
  for (const auto& value : record) {
    const auto* text = std::get_if<std::string>(&value.value);
    bytes += kTagBytes + (text ? text_bytes(*text) : sizeof(std::uint64_t));
  }
  return bytes;
}

std::expected<void, CodecError> write_record(std::span<const Metadata> record,
                                             SectionWriter& section) {
  if (auto written = write_u64(section, record.size()); !written) return written;
  for (const auto& value : record) {
    if (auto written = write_value(section, value); !written) return written;
  }
  return {};
}

std::expected<MetadataRecord, CodecError> parse_record(PayloadCursor& cursor, std::uint64_t node) {
  auto count = cursor.take_le<std::uint64_t>();
  if (!count) return std::unexpected(count.error());
  if (*count > cursor.remaining() / kMinimumValueBytes) {
    return std::unexpected(CodecError::format(
        "malformed metadata section: node " + std::to_string(node) + " declares " +
        std::to_string(*count) + " values, which cannot fit in the " +
        std::to_string(cursor.remaining()) + " bytes left"));
  }
  MetadataRecord record;
  record.reserve(static_cast<std::size_t>(*count));
  for (std::uint64_t position = 0; position < *count; ++position) {
    auto value = parse_value(cursor, node, position);
    if (!value) return std::unexpected(value.error());
    record.push_back(std::move(*value));
  }
  return record;
}

std::expected<std::optional<Schema>, CodecError> read_schema_section(ByteSource& source,
                                                                     Interrupt& interrupt) {
  auto payload = read_small_section(source, format::SectionTag::Schema, interrupt);
  if (!payload) return std::unexpected(payload.error());
  PayloadCursor cursor(std::as_bytes(std::span(*payload)),
                       format::section_name(format::SectionTag::Schema));
  auto schema = parse_schema(cursor);
  if (!schema) return std::unexpected(schema.error());
  if (auto ended = cursor.expect_end(); !ended) return std::unexpected(ended.error());
  return schema;
}

std::expected<std::vector<MetadataRecord>, CodecError> read_metadata_section(ByteSource& source,
                                                                             std::uint64_t count,
                                                                             Interrupt& interrupt) {
  auto payload = read_small_section(source, format::SectionTag::Metadata, interrupt);
  if (!payload) return std::unexpected(payload.error());
  PayloadCursor cursor(std::as_bytes(std::span(*payload)),
                       format::section_name(format::SectionTag::Metadata));
  std::vector<MetadataRecord> records;
  // Every record takes at least its eight-byte value count.
  records.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(count, payload->size() / sizeof(std::uint64_t))));
  for (std::uint64_t node = 0; node < count; ++node) {
    auto record = parse_record(cursor, node);
    if (!record) return std::unexpected(record.error());
    records.push_back(std::move(*record));
  }
  if (auto ended = cursor.expect_end(); !ended) return std::unexpected(ended.error());
  return records;
}

}  // namespace halqen::io
