// The numbers that define an index file, version 1 (docs/file-format.md is
// the same definition as a table). A later version may add to this but must
// keep reading files that follow it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace halqen::io::format {

// 0x89 keeps text tools from taking the file for text; the line feed at the
// end shows a transfer that rewrote line endings.
inline constexpr std::array<std::byte, 8> kMagic = {std::byte{0x89}, std::byte{'H'}, std::byte{'A'},
                                                    std::byte{'L'},  std::byte{'Q'}, std::byte{'E'},
                                                    std::byte{'N'},  std::byte{'\n'}};
inline constexpr std::uint32_t kVersion = 1;

enum class IndexKind : std::uint32_t { Flat = 1, HNSW = 2 };

// Metric codes of the file, fixed here rather than taken from the core's
// enumeration so that reordering it cannot change what a file means.
enum class MetricCode : std::uint32_t { Euclidean = 0, Cosine = 1, InnerProduct = 2 };

// Header: every field at a fixed offset, little-endian.
inline constexpr std::size_t kMagicOffset = 0;
inline constexpr std::size_t kVersionOffset = 8;
inline constexpr std::size_t kKindOffset = 12;
inline constexpr std::size_t kMetricOffset = 16;
inline constexpr std::size_t kSectionCountOffset = 20;
inline constexpr std::size_t kDimOffset = 24;
inline constexpr std::size_t kCountOffset = 32;
inline constexpr std::size_t kLayersOffset = 40;
inline constexpr std::size_t kMOffset = 48;
inline constexpr std::size_t kEfConstructionOffset = 56;
inline constexpr std::size_t kEfSearchOffset = 64;
inline constexpr std::size_t kHeaderChecksumOffset = 72;
inline constexpr std::size_t kReservedOffset = 76;
inline constexpr std::size_t kHeaderBytes = 80;

// Section: a 16-byte head (tag, reserved zero, payload length), the payload,
// then the CRC-32C of head and payload.
inline constexpr std::size_t kSectionTagOffset = 0;
inline constexpr std::size_t kSectionReservedOffset = 4;
inline constexpr std::size_t kSectionLengthOffset = 8;
inline constexpr std::size_t kSectionHeadBytes = 16;
inline constexpr std::size_t kSectionChecksumBytes = 4;

enum class SectionTag : std::uint32_t {
  Vectors = 1,
  Deleted = 2,
  Levels = 3,
  Graph = 4,
  Schema = 5,
  Metadata = 6,
};

// The sections of each kind, in the only order a file may hold them.
inline constexpr std::array<SectionTag, 2> kFlatSections = {SectionTag::Vectors,
                                                            SectionTag::Deleted};
inline constexpr std::array<SectionTag, 6> kHNSWSections = {
    SectionTag::Vectors, SectionTag::Deleted, SectionTag::Levels,
    SectionTag::Graph,   SectionTag::Schema,  SectionTag::Metadata};

// Metadata value tags.
enum class ValueTag : std::uint8_t { String = 0, Int = 1, Float = 2 };

// Schema section: the first byte says whether the index has a schema.
enum class SchemaPresence : std::uint8_t { Absent = 0, Present = 1 };

// The section's name in messages, e.g. "graph"; "unknown" for other tags.
std::string_view section_name(SectionTag tag);

}  // namespace halqen::io::format
