// Reading a GraphIndex file into its parts. Every array is sized from a
// section length already checked against the input; the consistency of the
// parts (degrees, link targets, levels, ids, records) is from_parts'.
#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/checked_product.hpp"
#include "common/huge_pages.hpp"
#include "io/graph_file.hpp"
#include "io/metadata_codec.hpp"
#include "io/optional_sections.hpp"
#include "io/section.hpp"
#include "io/section_arrays.hpp"
#include "metrics/metric_table.hpp"

namespace halqen::io {
namespace {

using format::SectionTag;
using graph::GraphParts;

constexpr std::uint64_t kBuildStateWords = 2;

// The header's layers is one past the highest level read.
std::expected<void, CodecError> check_layers(const FileHeader& header,
                                             std::span<const std::uint8_t> levels) {
  const std::uint64_t layers =
      levels.empty() ? 0 : std::uint64_t{*std::ranges::max_element(levels)} + 1;
  if (layers == header.layers) return {};
  return std::unexpected(
      CodecError::format("invalid header: layers is " + std::to_string(header.layers) +
                         ", but the levels reach " + std::to_string(layers) + " layers"));
}

// The link arrays have a fixed size per node and per upper layer (m sets
// it, however few links the file holds), so a file small for its m could
// claim far more memory than it holds: a load takes at most 72 times its
// file plus 1 MiB, this much of it for the links.
constexpr std::uint64_t kLinkBytesPerFileByte = 64;
constexpr std::uint64_t kLinkBytesAnyFile = std::uint64_t{3} << 18;  // 768 KiB

std::expected<void, CodecError> check_link_memory(const FileHeader& header,
                                                  std::span<const std::uint8_t> levels,
                                                  std::uint64_t input_bytes) {
  // An m out of range is refused, before anything is allocated, with the
  // other parameters.
  if (header.m < graph::kMinLinks || header.m > graph::kMaxLinks) return {};
  const std::uint64_t needed = graph::LinkStore::bytes_for(header.m, levels);
  const std::uint64_t allowed = kLinkBytesPerFileByte * input_bytes + kLinkBytesAnyFile;
  if (needed <= allowed) return {};
  return std::unexpected(CodecError::format(
      "the levels section makes the link lists of m " + std::to_string(header.m) + " take " +
      std::to_string(needed) + " bytes, more than the " + std::to_string(allowed) + " a file of " +
      std::to_string(input_bytes) + " bytes may (" + std::to_string(kLinkBytesPerFileByte) +
      " per byte, plus " + std::to_string(kLinkBytesAnyFile) + ")"));
}

// The rows of the live slots: whole rows, at most one per slot (how many
// slots are free the free-slots section says, after; from_parts checks the
// two agree).
std::expected<void, CodecError> read_live_rows(ByteSource& source, const FileHeader& header,
                                               GraphParts& parts, Interrupt& interrupt) {
  auto section = SectionReader::open(source, SectionTag::Vectors, std::nullopt);
  if (!section) return std::unexpected(section.error());
  const std::uint64_t length = section->length();
  const auto row_bytes = checked_product(header.dim, sizeof(double));
  const auto most = row_bytes ? checked_product(*row_bytes, header.count) : std::nullopt;
  const bool whole_rows = row_bytes && (*row_bytes == 0 ? length == 0 : length % *row_bytes == 0);
  if (!most || !whole_rows || length > *most) {
    return std::unexpected(
        CodecError::format("the vectors section holds " + std::to_string(length) +
                           " bytes, expected whole rows of " + std::to_string(header.dim) +
                           " values, at most one for each of " + count_of(header.count, "slots")));
  }
  const std::uint64_t values = length / sizeof(double);
  if (auto got = section->read_values_growing(parts.vectors, values, interrupt,
                                              values / graph::kLoadedSpareShare);
      !got) {
    return got;
  }
  return section->finish();
}

// A mapped input: the source over the file's bytes, whose arrays stay where
// they lie (only their place is noted), and what keeps the file mapped.
struct MapInput {
  const SpanSource* source;
  std::shared_ptr<const void> owner;
};

// Notes where the next `bytes` of the section lie in the mapped file and
// moves past them unread; returns that place.
template <class T>
std::expected<const T*, CodecError> pass_over_array(SectionReader& section, const MapInput& map,
                                                    std::uint64_t bytes) {
  const auto* place = reinterpret_cast<const T*>(map.source->next());
  if (auto passed = section.pass_over(bytes); !passed) return std::unexpected(passed.error());
  return place;
}

// Version 3: the bytes per number, the live slots and the padding, then
// every slot's row in that width (free slots' rows are cleared on load,
// whatever they hold). The padding puts the rows where it must.
std::expected<void, CodecError> read_slot_rows(ByteSource& source, const FileHeader& header,
                                               GraphParts& parts, std::uint64_t& live,
                                               const MapInput* map, Interrupt& interrupt) {
  auto section = SectionReader::open(source, SectionTag::Vectors, std::nullopt);
  if (!section) return std::unexpected(section.error());
  constexpr std::uint64_t kLeadBytes = kSlotRowsLeadWords * sizeof(std::uint64_t);
  std::vector<std::uint64_t> lead;
  if (section->length() < kLeadBytes) {
    return std::unexpected(CodecError::format("the vectors section holds " +
                                              std::to_string(section->length()) +
                                              " bytes, fewer than its three lead words"));
  }
  if (auto got = section->read_values_growing(lead, kSlotRowsLeadWords, interrupt); !got) {
    return got;
  }
  const std::uint64_t width = lead[0];
  if (width != sizeof(float) && width != sizeof(double)) {
    return std::unexpected(CodecError::format("the vectors section gives " + std::to_string(width) +
                                              " bytes per number, expected 4 or 8"));
  }
  if (lead[1] > header.count) {
    return std::unexpected(CodecError::format("the vectors section gives " +
                                              std::to_string(lead[1]) + " live slots of " +
                                              std::to_string(header.count)));
  }
  if (lead[2] != slot_rows_padding()) {
    return std::unexpected(CodecError::format(
        "the vectors section pads its rows with " + std::to_string(lead[2]) + " bytes, expected " +
        std::to_string(slot_rows_padding()) + " (rows start at a multiple of " +
        std::to_string(format::kArrayAlignment) + " in the file)"));
  }
  const auto numbers = checked_product(header.dim, header.count);
  const auto row_bytes = numbers ? checked_product(*numbers, width) : std::nullopt;
  const auto expected = row_bytes ? checked_sum(*row_bytes, kLeadBytes + lead[2]) : std::nullopt;
  if (!expected || section->length() != *expected) {
    return std::unexpected(CodecError::format(
        "the vectors section holds " + std::to_string(section->length()) + " bytes, expected " +
        std::to_string(kLeadBytes + lead[2]) + " and a row of " + std::to_string(header.dim) +
        " numbers of " + std::to_string(width) + " bytes for each of " +
        count_of(header.count, "slots")));
  }
  std::vector<std::uint8_t> padding;
  if (auto got = section->read_values_growing(padding, lead[2], interrupt); !got) return got;
  parts.rows_by_slot = true;
  parts.wide_rows = width == sizeof(double);
  live = lead[1];
  if (map != nullptr) {
    auto rows = pass_over_array<void>(*section, *map, *row_bytes);
    if (!rows) return std::unexpected(rows.error());
    parts.mapped = graph::MappedArrays{.owner = map->owner, .rows = *rows};
    return section->finish();
  }
  const std::uint64_t spare = *numbers / graph::kLoadedSpareShare;
  auto got = width == sizeof(double)
                 ? section->read_values_growing(parts.vectors, *numbers, interrupt, spare)
                 : section->read_values_growing(parts.narrow_vectors, *numbers, interrupt, spare);
  if (!got) return got;
  return section->finish();
}

// The live slots: the slots less the free ones, found from the rows read.
std::uint64_t live_count(const FileHeader& header, const GraphParts& parts) {
  return header.dim == 0 ? header.count : parts.vectors.size() / header.dim;
}

// At least one count word per node; whole words.
std::expected<void, CodecError> read_links(ByteSource& source, const FileHeader& header,
                                           std::vector<std::uint32_t>& words,
                                           Interrupt& interrupt) {
  auto section = SectionReader::open(source, SectionTag::Graph, std::nullopt);
  if (!section) return std::unexpected(section.error());
  const std::uint64_t length = section->length();
  const auto fewest = checked_product(header.count, sizeof(std::uint32_t));
  if (!fewest || length < *fewest || length % sizeof(std::uint32_t) != 0) {
    return std::unexpected(CodecError::format(
        "the graph section holds " + std::to_string(length) + " bytes, expected whole 4-byte " +
        "words, at least one link count for each of " + count_of(header.count, "nodes")));
  }
  if (auto got = section->read_values_growing(words, length / sizeof(std::uint32_t), interrupt);
      !got) {
    return got;
  }
  return section->finish();
}

// Version 4: the padding word and the padding, layer 0's lists in fixed
// places (2m + 1 words per node), then the upper layers' lists, whole words.
// Mapped, layer 0 stays where it lies, unread.
std::expected<void, CodecError> read_fixed_links(ByteSource& source, const FileHeader& header,
                                                 std::uint64_t payload_at, GraphParts& parts,
                                                 const MapInput* map, Interrupt& interrupt) {
  auto section = SectionReader::open(source, SectionTag::Graph, std::nullopt);
  if (!section) return std::unexpected(section.error());
  constexpr std::uint64_t kWord = sizeof(std::uint32_t);
  constexpr std::uint64_t kLeadBytes = kGraphLeadWords * sizeof(std::uint64_t);
  const std::uint64_t padding = padding_after(payload_at + kLeadBytes);
  const auto twice_m = checked_product(header.m, 2);
  const auto stride = twice_m ? checked_sum(*twice_m, 1) : std::nullopt;
  const auto base_words = stride ? checked_product(*stride, header.count) : std::nullopt;
  const auto base_bytes = base_words ? checked_product(*base_words, kWord) : std::nullopt;
  const auto fixed = base_bytes ? checked_sum(*base_bytes, kLeadBytes + padding) : std::nullopt;
  const std::uint64_t length = section->length();
  if (!fixed || length < *fixed || (length - *fixed) % kWord != 0) {
    return std::unexpected(CodecError::format(
        "the graph section holds " + std::to_string(length) + " bytes, expected its padding " +
        "word, " + std::to_string(padding) + " bytes of padding, " + "2m + 1 link words (m " +
        std::to_string(header.m) + ") for each of " + count_of(header.count, "nodes") +
        ", then whole 4-byte words"));
  }
  std::vector<std::uint64_t> lead;
  if (auto got = section->read_values_growing(lead, kGraphLeadWords, interrupt); !got) return got;
  if (lead[0] != padding) {
    return std::unexpected(CodecError::format(
        "the graph section pads its lists with " + std::to_string(lead[0]) + " bytes, expected " +
        std::to_string(padding) + " (they start at a multiple of " +
        std::to_string(format::kArrayAlignment) + " in the file)"));
  }
  std::vector<std::uint8_t> zeros;
  if (auto got = section->read_values_growing(zeros, padding, interrupt); !got) return got;
  if (map != nullptr && parts.mapped) {
    auto base = pass_over_array<std::uint32_t>(*section, *map, *base_bytes);
    if (!base) return std::unexpected(base.error());
    parts.mapped->base_links = *base;
  } else if (auto got = section->read_values_growing(parts.base_links, *base_words, interrupt);
             !got) {
    return got;
  }
  if (auto got = section->read_values_growing(parts.links, (length - *fixed) / kWord, interrupt);
      !got) {
    return got;
  }
  return section->finish();
}

std::expected<void, CodecError> read_schema(ByteSource& source, GraphParts& parts,
                                            Interrupt& interrupt) {
  auto schema = read_schema_section(source, interrupt);
  if (!schema) return std::unexpected(schema.error());
  parts.params.schema = std::move(*schema);
  return {};
}

// A record per live slot with a schema, nothing without.
std::expected<void, CodecError> read_metadata(ByteSource& source, std::uint64_t live,
                                              GraphParts& parts, Interrupt& interrupt) {
  auto records = read_metadata_section(source, parts.params.schema ? live : 0, interrupt);
  if (!records) return std::unexpected(records.error());
  parts.records = std::move(*records);
  return {};
}

std::expected<void, CodecError> read_build_state(ByteSource& source, GraphParts& parts,
                                                 Interrupt& interrupt) {
  std::vector<std::uint64_t> state;
  if (auto got = read_array_section(source, SectionTag::BuildState, kBuildStateWords, state,
                                    "the seed and the next id", interrupt);
      !got) {
    return got;
  }
  // The next id is one past the largest id given, which is at most 2^63 - 1.
  if (state[1] > graph::kLargestId + 1) {
    return std::unexpected(CodecError::format("the build state section gives the next id " +
                                              std::to_string(state[1]) + ", above 2^63"));
  }
  parts.params.seed = state[0];
  parts.next_id = state[1];
  return {};
}

// Ids are returned as int64; 2^64 - 1 would also read as a free slot's.
std::expected<void, CodecError> check_labels(std::span<const std::uint64_t> labels) {
  const auto large =
      std::ranges::find_if(labels, [](std::uint64_t label) { return label > graph::kLargestId; });
  if (large == labels.end()) return {};
  return std::unexpected(CodecError::format(
      "the labels section gives id " + std::to_string(*large) + " to live slot " +
      std::to_string(large - labels.begin()) + ", above 2^63 - 1"));
}

std::expected<void, CodecError> read_labels(SectionReader& section, std::uint64_t live,
                                            GraphParts& parts, Interrupt& interrupt) {
  const std::uint64_t expected = live * sizeof(std::uint64_t);
  if (section.length() != expected) {
    return std::unexpected(CodecError::format(
        "the labels section holds " + std::to_string(section.length()) + " bytes, expected " +
        std::to_string(expected) + " for " + count_of(live, "live ids")));
  }
  return section.read_values_growing(parts.labels, live, interrupt);
}

// One slot number per free slot: as many as the slots without a row.
std::expected<void, CodecError> read_free_slots(SectionReader& section, std::uint64_t live,
                                                GraphParts& parts, Interrupt& interrupt) {
  const std::uint64_t free = parts.count - live;
  if (free == 0) {
    return std::unexpected(CodecError::format("a free slots section in a file whose " +
                                              count_of(live, "slots") + " all have rows"));
  }
  const std::uint64_t expected = free * sizeof(std::uint32_t);
  if (section.length() != expected) {
    return std::unexpected(CodecError::format(
        "the free slots section holds " + std::to_string(section.length()) + " bytes, expected " +
        std::to_string(expected) + " for the " + count_of(free, "slots") + " of " +
        std::to_string(parts.count) + " without a row"));
  }
  return section.read_values_growing(parts.free_slots, free, interrupt);
}

// The payload lengths of a codes section for `dim`: the walk alone, a range
// of one step (the first files: the range is derived again on load), or a
// range per dimension. 0 where dim makes the length overflow.
struct CodesLengths {
  std::uint64_t walk_only, one_step, per_dimension;
};

CodesLengths codes_lengths(std::uint64_t dim) {
  constexpr std::uint64_t kWord = sizeof(std::uint64_t);
  constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();
  const bool fits = dim <= (kLargest - 4 * kWord) / (3 * kWord);
  return {kWord, fits ? 2 * kWord + dim * kWord : 0, fits ? 4 * kWord + 3 * dim * kWord : 0};
}

std::expected<void, CodecError> read_code_range(SectionReader& section, GraphParts& parts,
                                                Interrupt& interrupt) {
  std::vector<std::uint64_t> layout;
  std::vector<double> offsets;
  std::vector<double> steps;
  std::vector<std::uint64_t> clamped;
  std::vector<std::uint64_t> rows;
  if (auto got = section.read_values_growing(layout, 1, interrupt); !got) return got;
  if (layout[0] != format::kCodeRangePerDimension) {
    return std::unexpected(CodecError::format("the codes section's range has layout " +
                                              std::to_string(layout[0]) + ", not " +
                                              std::to_string(format::kCodeRangePerDimension)));
  }
  const std::uint64_t dim = parts.params.dim;
  if (auto got = section.read_values_growing(offsets, dim, interrupt); !got) return got;
  if (auto got = section.read_values_growing(steps, dim, interrupt); !got) return got;
  if (auto got = section.read_values_growing(clamped, dim, interrupt); !got) return got;
  if (auto got = section.read_values_growing(rows, 2, interrupt); !got) return got;
  parts.code_range.emplace(std::move(offsets), std::move(steps), std::move(clamped), rows[0],
                           rows[1]);
  return {};
}

// The walk's code (float32 or 8-bit; the exact walk writes no section), and
// for 8-bit codes either nothing more (an empty index) or the range.
std::expected<void, CodecError> read_codes(SectionReader& section, GraphParts& parts,
                                           Interrupt& interrupt) {
  const CodesLengths lengths = codes_lengths(parts.params.dim);
  const std::uint64_t length = section.length();
  if (length != lengths.walk_only &&
      (length == 0 || (length != lengths.one_step && length != lengths.per_dimension))) {
    return std::unexpected(CodecError::format(
        "the codes section holds " + std::to_string(length) + " bytes, expected " +
        std::to_string(lengths.walk_only) + ", " + std::to_string(lengths.one_step) + " or " +
        std::to_string(lengths.per_dimension) + " for dim " + std::to_string(parts.params.dim)));
  }
  std::vector<std::uint64_t> walk;
  if (auto got = section.read_values_growing(walk, 1, interrupt); !got) return got;
  if (walk[0] == 0 || walk[0] >= graph::kWalkKindCount) {
    return std::unexpected(CodecError::format("the codes section names walk " +
                                              std::to_string(walk[0]) + ", not 1 or 2"));
  }
  parts.params.walk = static_cast<graph::WalkKind>(walk[0]);
  if (length == lengths.per_dimension) return read_code_range(section, parts, interrupt);
  if (length == lengths.walk_only) return {};
  // A range of one step over every dimension covered the widest row ever
  // seen; the codes are better derived again from the rows.
  std::vector<double> one_step;
  if (auto got = section.read_values_growing(one_step, 1 + parts.params.dim, interrupt); !got) {
    return got;
  }
  return {};
}

// A section of exactly two words, both read.
std::expected<std::array<std::uint64_t, 2>, CodecError> read_two_words(SectionReader& section,
                                                                       Interrupt& interrupt) {
  constexpr std::uint64_t kBytes = 2 * sizeof(std::uint64_t);
  if (section.length() != kBytes) {
    return std::unexpected(CodecError::format(
        "the " + std::string(format::section_name(section.tag())) + " section holds " +
        std::to_string(section.length()) + " bytes, expected " + std::to_string(kBytes)));
  }
  std::vector<std::uint64_t> words;
  if (auto got = section.read_values_growing(words, 2, interrupt); !got) {
    return std::unexpected(got.error());
  }
  return std::array<std::uint64_t, 2>{words[0], words[1]};
}

// The float32 codes' scale: a word 0 (unset) or 1 (set), then the exponent
// as a signed word, one a scale can take (0 while unset). Which walk and
// metric may hold one is from_parts' to check.
std::expected<void, CodecError> read_code_scale(SectionReader& section, GraphParts& parts,
                                                Interrupt& interrupt) {
  const auto read = read_two_words(section, interrupt);
  if (!read) return std::unexpected(read.error());
  const std::array<std::uint64_t, 2>& words = *read;
  const auto exponent = static_cast<std::int64_t>(words[1]);
  if (words[0] > 1) {
    return std::unexpected(CodecError::format("the code scale section's first word is " +
                                              std::to_string(words[0]) + ", not 0 or 1"));
  }
  if (exponent < codes::kLowestScaleExponent || exponent > codes::kHighestScaleExponent ||
      (words[0] == 0 && exponent != 0)) {
    return std::unexpected(CodecError::format(
        "the code scale section gives exponent " + std::to_string(exponent) +
        (words[0] == 0 ? " to an unset scale, expected 0"
                       : ", outside " + std::to_string(codes::kLowestScaleExponent) + " .. " +
                             std::to_string(codes::kHighestScaleExponent))));
  }
  parts.code_scale =
      codes::Float32Scale{.set = words[0] == 1, .exponent = static_cast<int>(exponent)};
  return {};
}

// How the rows are kept: a storage code (0 adaptive, 1 float32, 2 float64)
// and the bytes per number in use (4 or 8). Whether they agree with each
// other and with the vectors is from_parts' to check.
std::expected<void, CodecError> read_row_storage(SectionReader& section, GraphParts& parts,
                                                 Interrupt& interrupt) {
  const auto read = read_two_words(section, interrupt);
  if (!read) return std::unexpected(read.error());
  const std::array<std::uint64_t, 2>& words = *read;
  if (words[0] >= graph::kRowStorageCount) {
    return std::unexpected(CodecError::format("the row storage section gives storage " +
                                              std::to_string(words[0]) + ", expected 0, 1 or 2"));
  }
  if (words[1] != sizeof(float) && words[1] != sizeof(double)) {
    return std::unexpected(CodecError::format("the row storage section gives " +
                                              std::to_string(words[1]) +
                                              " bytes per number, expected 4 or 8"));
  }
  const bool wide = words[1] == sizeof(double);
  if (parts.wide_rows && *parts.wide_rows != wide) {
    return std::unexpected(
        CodecError::format("the row storage section gives " + std::to_string(words[1]) +
                           " bytes per number, the vectors section " + (wide ? "4" : "8")));
  }
  parts.params.storage = static_cast<graph::RowStorage>(words[0]);
  parts.wide_rows = wide;
  return {};
}

// The padding word a section of aligned arrays gives, checked against the
// bytes its length leaves beyond its arrays (`beyond`) and against what puts
// its array at a multiple of the alignment (its payload starts at file
// offset `payload_at`, `lead_words` words before the padding), then the
// padding itself.
std::expected<std::uint64_t, CodecError> read_padding(SectionReader& section,
                                                      std::uint64_t payload_at,
                                                      std::uint64_t lead_words, std::uint64_t given,
                                                      std::uint64_t beyond, Interrupt& interrupt) {
  const std::uint64_t expected = padding_after(payload_at + lead_words * sizeof(std::uint64_t));
  const std::string name = std::string(format::section_name(section.tag())) + " section";
  if (given != beyond) {
    return std::unexpected(CodecError::format("the " + name + " gives " + std::to_string(given) +
                                              " bytes of padding in " + std::to_string(beyond) +
                                              " bytes beyond its arrays"));
  }
  if (given != expected) {
    return std::unexpected(CodecError::format(
        "the " + name + " pads its array with " + std::to_string(given) + " bytes, expected " +
        std::to_string(expected) + " (arrays start at a multiple of " +
        std::to_string(format::kArrayAlignment) + " in the file)"));
  }
  std::vector<std::uint8_t> padding;
  if (auto got = section.read_values_growing(padding, given, interrupt); !got) {
    return std::unexpected(got.error());
  }
  return given;
}

// `count` lines of codes, read as the bytes they are straight into the
// array the store takes (with room for `spare` more), a piece at a time.
std::expected<void, CodecError> read_code_lines(SectionReader& section, std::uint64_t count,
                                                std::uint64_t spare,
                                                std::vector<codes::CodeLine>& out,
                                                Interrupt& interrupt) {
  constexpr std::uint64_t kLinesPerPiece = std::uint64_t{1} << 17;
  if (count > section.unread() / sizeof(codes::CodeLine)) {
    throw std::length_error("read_code_lines: past the section");
  }
  try {
    out.reserve(static_cast<std::size_t>(count + spare));
    prefer_huge_pages(out);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CodecError::out_of_memory(
        "out of memory reading the code rows section: " + std::to_string(section.length()) +
        " bytes claimed"));
  }
  while (out.size() < count) {
    const auto piece = static_cast<std::size_t>(std::min(count - out.size(), kLinesPerPiece));
    out.resize(out.size() + piece);  // within the capacity: cannot throw
    const std::span<codes::CodeLine> lines = std::span(out).last(piece);
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(lines.data()),
                                        lines.size_bytes());
    if (auto got = section.read_values(bytes); !got) return got;
    if (interrupt.requested()) {
      out = {};
      return std::unexpected(CodecError::interrupted());
    }
  }
  return {};
}

// The bytes of a code row (what dim gives 8-bit codes) and the padding,
// then every slot's code row, coding error and code length. Whether they go
// with a range is from_parts' to check.
std::expected<void, CodecError> read_code_rows(SectionReader& section, std::uint64_t payload_at,
                                               GraphParts& parts, const MapInput* map,
                                               Interrupt& interrupt) {
  const std::uint64_t dim = parts.params.dim;
  const std::uint64_t row_bytes =
      dim <= graph::kMaxDim ? codes::code_row_bytes(dim, codes::CodeKind::Sq8) : 0;
  constexpr std::uint64_t kLeadBytes = kCodeRowsLeadWords * sizeof(std::uint64_t);
  const auto per_slot = checked_sum(row_bytes, 2 * sizeof(float));
  const auto slots = per_slot ? checked_product(*per_slot, parts.count) : std::nullopt;
  const auto fixed = slots ? checked_sum(*slots, kLeadBytes) : std::nullopt;
  const std::uint64_t length = section.length();
  if (row_bytes == 0 || !fixed || length < *fixed || length - *fixed >= format::kArrayAlignment) {
    return std::unexpected(CodecError::format(
        "the code rows section holds " + std::to_string(length) +
        " bytes, expected its two lead words, its padding, a row of 8-bit codes of dim " +
        std::to_string(dim) + ", a coding error and a code length for each of " +
        count_of(parts.count, "slots")));
  }
  std::vector<std::uint64_t> lead;
  if (auto got = section.read_values_growing(lead, kCodeRowsLeadWords, interrupt); !got) {
    return got;
  }
  if (lead[0] != row_bytes) {
    return std::unexpected(CodecError::format(
        "the code rows section gives code rows of " + std::to_string(lead[0]) +
        " bytes, expected " + std::to_string(row_bytes) + " for dim " + std::to_string(dim)));
  }
  if (auto padded = read_padding(section, payload_at, kCodeRowsLeadWords, lead[1], length - *fixed,
                                 interrupt);
      !padded) {
    return std::unexpected(padded.error());
  }
  if (map != nullptr && parts.mapped) {
    auto lines = pass_over_array<codes::CodeLine>(section, *map, parts.count * row_bytes);
    auto errors = lines ? pass_over_array<float>(section, *map, parts.count * sizeof(float))
                        : std::unexpected(lines.error());
    auto lengths = errors ? pass_over_array<float>(section, *map, parts.count * sizeof(float))
                          : std::unexpected(errors.error());
    if (!lengths) return std::unexpected(lengths.error());
    parts.mapped->code_lines = *lines;
    parts.mapped->coding_errors = *errors;
    parts.mapped->code_lengths = *lengths;
    return {};
  }
  codes::SavedCodes saved;
  const std::uint64_t spare = parts.count / graph::kLoadedSpareShare;
  if (auto got =
          read_code_lines(section, parts.count * (row_bytes / codes::kCodeLineBytes),
                          spare * (row_bytes / codes::kCodeLineBytes), saved.lines, interrupt);
      !got) {
    return got;
  }
  if (auto got = section.read_values_growing(saved.errors, parts.count, interrupt, spare); !got) {
    return got;
  }
  if (auto got = section.read_values_growing(saved.lengths, parts.count, interrupt, spare); !got) {
    return got;
  }
  parts.saved_codes = std::move(saved);
  return {};
}

// The padding word and the padding, then every slot's squared norm: read
// as a check of the file only, unless mapped. A reader into memory computes
// the norms from the rows it holds, as exact as the rows are, rather than
// trust a copy; a mapped index takes them where they lie.
std::expected<void, CodecError> read_row_norms(SectionReader& section, std::uint64_t payload_at,
                                               GraphParts& parts, const MapInput* map,
                                               Interrupt& interrupt) {
  constexpr std::uint64_t kLeadBytes = kRowNormsLeadWords * sizeof(std::uint64_t);
  const auto norms = checked_product(parts.count, sizeof(double));
  const auto fixed = norms ? checked_sum(*norms, kLeadBytes) : std::nullopt;
  const std::uint64_t length = section.length();
  if (!metric_row(parts.params.metric).batch.uses_norms() || !fixed || length < *fixed ||
      length - *fixed >= format::kArrayAlignment) {
    return std::unexpected(CodecError::format(
        "the row norms section holds " + std::to_string(length) +
        " bytes, expected its padding word, its padding and a norm for each of " +
        count_of(parts.count, "slots") + ", under a metric that divides by norms"));
  }
  std::vector<std::uint64_t> lead;
  if (auto got = section.read_values_growing(lead, kRowNormsLeadWords, interrupt); !got) {
    return got;
  }
  if (auto padded = read_padding(section, payload_at, kRowNormsLeadWords, lead[0], length - *fixed,
                                 interrupt);
      !padded) {
    return std::unexpected(padded.error());
  }
  if (map != nullptr && parts.mapped) {
    auto norms = pass_over_array<double>(section, *map, parts.count * sizeof(double));
    if (!norms) return std::unexpected(norms.error());
    parts.mapped->norms = *norms;
    return {};
  }
  std::vector<double> values;
  return section.read_values_growing(values, parts.count, interrupt);
}

}  // namespace

namespace {

std::expected<GraphParts, CodecError> decode_graph(ByteSource& source, const FileHeader& header,
                                                   const MapInput* map, Interrupt& interrupt) {
  GraphParts parts;
  parts.params = {.dim = header.dim,
                  .metric = header.metric,
                  .m = header.m,
                  .ef_construction = header.ef_construction,
                  .ef_search = header.ef_search,
                  .seed = 0,
                  .schema = std::nullopt};
  parts.count = header.count;
  const std::uint64_t input_bytes = format::kHeaderBytes + source.remaining();
  std::uint64_t live = 0;
  if (header.version >= format::kSlotRowsVersion) {
    if (auto got = read_slot_rows(source, header, parts, live, map, interrupt); !got) {
      return std::unexpected(got.error());
    }
  } else {
    if (auto got = read_live_rows(source, header, parts, interrupt); !got) {
      return std::unexpected(got.error());
    }
    live = live_count(header, parts);
  }
  if (auto got = read_array_section(source, SectionTag::Levels, header.count, parts.levels,
                                    count_of(header.count, "nodes"), interrupt);
      !got) {
    return std::unexpected(got.error());
  }
  if (auto checked = check_layers(header, parts.levels); !checked) {
    return std::unexpected(checked.error());
  }
  if (auto checked = check_link_memory(header, parts.levels, input_bytes); !checked) {
    return std::unexpected(checked.error());
  }
  // How far into the file the source has read.
  const auto offset = [&] { return input_bytes - source.remaining(); };
  const std::uint64_t links_payload_at = offset() + format::kSectionHeadBytes;
  const auto links = header.version >= format::kFixedLinksVersion
                         ? read_fixed_links(source, header, links_payload_at, parts, map, interrupt)
                         : read_links(source, header, parts.links, interrupt);
  if (!links) return std::unexpected(links.error());
  if (auto got = read_schema(source, parts, interrupt); !got) return std::unexpected(got.error());
  if (auto got = read_metadata(source, live, parts, interrupt); !got) {
    return std::unexpected(got.error());
  }
  if (auto got = read_build_state(source, parts, interrupt); !got) {
    return std::unexpected(got.error());
  }
  const std::array<OptionalSection, 7> optional = {
      OptionalSection{
          SectionTag::Labels,
          [&](SectionReader& section) { return read_labels(section, live, parts, interrupt); }},
      OptionalSection{
          SectionTag::FreeSlots,
          [&](SectionReader& section) { return read_free_slots(section, live, parts, interrupt); }},
      OptionalSection{
          SectionTag::Codes,
          [&](SectionReader& section) { return read_codes(section, parts, interrupt); }},
      OptionalSection{
          SectionTag::CodeScale,
          [&](SectionReader& section) { return read_code_scale(section, parts, interrupt); }},
      OptionalSection{
          SectionTag::RowStorage,
          [&](SectionReader& section) { return read_row_storage(section, parts, interrupt); }},
      OptionalSection{SectionTag::CodeRows,
                      [&](SectionReader& section) {
                        return read_code_rows(section, offset(), parts, map, interrupt);
                      }},
      OptionalSection{SectionTag::RowNorms, [&](SectionReader& section) {
                        return read_row_norms(section, offset(), parts, map, interrupt);
                      }}};
  const std::size_t required = FileKind<graph::GraphIndex>::kSections.size();
  if (auto got = read_optional_sections(source, header, required, optional); !got) {
    return std::unexpected(got.error());
  }
  // Checked once the section's checksum has passed, so damage reads as damage.
  if (auto checked = check_labels(parts.labels); !checked) return std::unexpected(checked.error());
  if (live != parts.count && parts.free_slots.empty()) {
    return std::unexpected(CodecError::format(
        "the vectors section gives " + count_of(live, "live slots") + " of " +
        std::to_string(parts.count) + ", and no free slots section lists the others"));
  }
  return parts;
}

}  // namespace

std::expected<GraphParts, CodecError> FileKind<graph::GraphIndex>::decode(ByteSource& source,
                                                                          const FileHeader& header,
                                                                          Interrupt& interrupt) {
  return decode_graph(source, header, nullptr, interrupt);
}

std::expected<GraphParts, CodecError> FileKind<graph::GraphIndex>::decode_mapped(
    SpanSource& source, const FileHeader& header, std::shared_ptr<const void> owner,
    Interrupt& interrupt) {
  if (header.version < format::kSlotRowsVersion) {
    return std::unexpected(CodecError::format(
        "this file is of format version " + std::to_string(header.version) +
        ", whose vectors cannot be used where they lie: read it without mmap (into memory), "
        "and write_index writes it again in a version that maps"));
  }
  const MapInput map{.source = &source, .owner = std::move(owner)};
  auto parts = decode_graph(source, header, &map, interrupt);
  if (!parts) return parts;
  const bool needs_norms = metric_row(parts->params.metric).batch.uses_norms() && parts->count > 0;
  if (needs_norms && parts->mapped->norms == nullptr) {
    return std::unexpected(CodecError::format(
        "the file holds no row norms, which a mapped index under the cosine divides by: read it "
        "without mmap (into memory)"));
  }
  return parts;
}

}  // namespace halqen::io
