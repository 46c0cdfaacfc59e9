// The numbers that define an index file (docs/file-format.md is the same
// definition as a table).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/kind_capabilities.hpp"

namespace halqen::io::format {

// 0x89 keeps text tools from taking the file for text; the line feed at the
// end shows a transfer that rewrote line endings.
inline constexpr std::array<std::byte, 8> kMagic = {std::byte{0x89}, std::byte{'H'}, std::byte{'A'},
                                                    std::byte{'L'},  std::byte{'Q'}, std::byte{'E'},
                                                    std::byte{'N'},  std::byte{'\n'}};

// Version 1: the header, then exactly the required sections of its kind.
// Version 2: the same, then the optional sections the kind's capabilities
// admit, each at most once, in increasing tag order.
// Version 3: as version 2, with the graph's vectors section holding every
// slot's row in the width the index keeps it, where its file offset is a
// multiple of 64.
// Version 4: as version 3, with the graph section laying layer 0's lists out
// in fixed places, aligned as the rows are, before the upper layers' lists.
// A reader decodes every version it knows, so files of version 1 read the
// same forever; a writer writes each kind in the version the kind names
// (io/file_kind.hpp).
inline constexpr std::uint32_t kFirstVersion = 1;
inline constexpr std::uint32_t kOptionalSectionsVersion = 2;
inline constexpr std::uint32_t kSlotRowsVersion = 3;
inline constexpr std::uint32_t kFixedLinksVersion = 4;
inline constexpr std::uint32_t kLatestVersion = kFixedLinksVersion;
// Where versions 3 and 4 put a section's bulk array, the file offset it starts at
// is a multiple of this.
inline constexpr std::uint64_t kArrayAlignment = 64;

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
  // Optional sections (version 2 on), each admitted by one capability; their
  // payloads are defined by the first kind that writes them.
  Labels = 7,     // user_labels: the caller's id of each vector
  FreeSlots = 8,  // deletion: the slots of removed vectors
  Codes = 9,      // compact_codes: the compact code of each vector
  // A required section of halqen_ext's graph: what its build continues from
  // beyond the header (the seed, the next default id).
  BuildState = 10,
  // compact_codes: the power of two float32 codes are scaled by, where the
  // vectors alone would not give it back.
  CodeScale = 11,
  // row_widths: how the rows are kept (held to a width, or adaptive), where
  // the vectors alone would not give it back.
  RowStorage = 12,
  // compact_codes: every vector's code as the index holds it, so that a
  // reader need not code the vectors again.
  CodeRows = 13,
  // row_widths: each stored vector's squared norm, for a metric that
  // divides by norms, so that a mapped index need not compute them.
  RowNorms = 14,
  // Required sections of halqen_ext's partition index: what its additions
  // continue from (the seed, the next default id, the vectors at its last
  // training, the partitions asked for); its centroids and code books; each
  // partition's members and their codes.
  PartitionState = 15,
  Centroids = 16,
  PartitionLists = 17,
};

// The codes section's 8-bit range: its one layout word, after which come an
// offset and a step per dimension, the components each dimension clamped
// and the rows counted. (The first files held one step, then the offsets,
// and no layout word; the section's length tells them apart.)
inline constexpr std::uint64_t kCodeRangePerDimension = 2;

// The sections of each kind, in the only order a file may hold them.
inline constexpr std::array<SectionTag, 2> kFlatSections = {SectionTag::Vectors,
                                                            SectionTag::Deleted};
inline constexpr std::array<SectionTag, 6> kHNSWSections = {
    SectionTag::Vectors, SectionTag::Deleted, SectionTag::Levels,
    SectionTag::Graph,   SectionTag::Schema,  SectionTag::Metadata};

inline constexpr std::array<SectionTag, 6> kGraphSections = {
    SectionTag::Vectors, SectionTag::Levels,   SectionTag::Graph,
    SectionTag::Schema,  SectionTag::Metadata, SectionTag::BuildState};

inline constexpr std::array<SectionTag, 4> kPartitionSections = {
    SectionTag::Vectors, SectionTag::PartitionState, SectionTag::Centroids,
    SectionTag::PartitionLists};

// The optional sections a kind with these capabilities may hold, in the
// order a file holds them (increasing tag).
struct OptionalSections {
  std::array<SectionTag, 7> tags{};
  std::size_t count = 0;

  std::span<const SectionTag> view() const { return std::span(tags).first(count); }
};
constexpr OptionalSections optional_sections(const KindCapabilities& capabilities) {
  OptionalSections admitted;
  if (capabilities.user_labels) admitted.tags[admitted.count++] = SectionTag::Labels;
  if (capabilities.deletion) admitted.tags[admitted.count++] = SectionTag::FreeSlots;
  if (capabilities.compact_codes) {
    admitted.tags[admitted.count++] = SectionTag::Codes;
    admitted.tags[admitted.count++] = SectionTag::CodeScale;
  }
  if (capabilities.row_widths) admitted.tags[admitted.count++] = SectionTag::RowStorage;
  if (capabilities.compact_codes) admitted.tags[admitted.count++] = SectionTag::CodeRows;
  if (capabilities.row_widths) admitted.tags[admitted.count++] = SectionTag::RowNorms;
  return admitted;
}

// Metadata value tags.
enum class ValueTag : std::uint8_t { String = 0, Int = 1, Float = 2 };

// Schema section: the first byte says whether the index has a schema.
enum class SchemaPresence : std::uint8_t { Absent = 0, Present = 1 };

// The section's name in messages, e.g. "graph"; "unknown" for other tags.
std::string_view section_name(SectionTag tag);

}  // namespace halqen::io::format
