// Writing a GraphIndex straight from its memory, through its read-out
// accessors: nothing is gathered beyond a piece of link words at a time.
#include <algorithm>
#include <array>
#include <vector>

#include "io/graph_file.hpp"
#include "io/metadata_codec.hpp"
#include "io/section.hpp"
#include "io/section_arrays.hpp"

namespace halqen::io {
namespace {

using format::SectionTag;
using graph::GraphIndex;

constexpr std::uint64_t kSectionFrameBytes =
    format::kSectionHeadBytes + format::kSectionChecksumBytes;
// Link words go to the sink in pieces of about this many.
constexpr std::size_t kWordsPerPiece = std::size_t{1} << 14;
constexpr std::uint64_t kBuildStateWords = 2;

bool has_labels(const GraphIndex& index) {
  return !index.ids_are_slots();
}

bool has_free_slots(const GraphIndex& index) {
  return index.size() < index.slot_count();
}

std::uint64_t free_slots_bytes(const GraphIndex& index) {
  return (index.slot_count() - index.size()) * sizeof(std::uint32_t);
}

// The live slots as runs [begin, end) of consecutive slots, in order.
template <class Visit>
std::expected<void, CodecError> for_live_runs(const GraphIndex& index, Visit visit) {
  std::uint32_t slot = 0;
  const auto count = static_cast<std::uint32_t>(index.slot_count());
  while (slot < count) {
    while (slot < count && index.is_free(slot)) ++slot;
    const std::uint32_t begin = slot;
    while (slot < count && !index.is_free(slot)) ++slot;
    if (begin == slot) break;
    if (auto done = visit(begin, slot); !done) return done;
  }
  return {};
}

// Only a walk on codes writes the codes section.
bool has_codes(const GraphIndex& index) {
  return index.codes() != nullptr;
}

// The walk's code, then for 8-bit codes that have a range its layout word,
// offsets, steps, clamped counts, rows counted and rows derived from: the
// codes themselves are encoded again from the vectors on load.
std::uint64_t codes_payload_bytes(const GraphIndex& index) {
  if (!has_codes(index)) return 0;
  const codes::Sq8Range& range = index.codes()->range();
  const bool ranged = index.codes()->kind() == codes::CodeKind::Sq8 && !range.empty();
  constexpr std::uint64_t kWord = sizeof(std::uint64_t);
  return kWord + (ranged ? 3 * kWord + 3 * range.dim() * kWord : 0);
}

std::expected<void, CodecError> write_codes_section(const GraphIndex& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::Codes, codes_payload_bytes(index));
  if (!section) return std::unexpected(section.error());
  const std::array<std::uint64_t, 1> walk = {static_cast<std::uint64_t>(index.params().walk)};
  if (auto written = section->write_values<std::uint64_t>(walk); !written) return written;
  if (codes_payload_bytes(index) > sizeof(std::uint64_t)) {
    const codes::Sq8Range& range = index.codes()->range();
    const std::array<std::uint64_t, 1> layout = {format::kCodeRangePerDimension};
    const std::array<std::uint64_t, 2> rows = {range.rows(), range.derived_from()};
    if (auto written = section->write_values<std::uint64_t>(layout); !written) return written;
    if (auto written = section->write_values<double>(range.offsets()); !written) return written;
    if (auto written = section->write_values<double>(range.steps()); !written) return written;
    if (auto written = section->write_values<std::uint64_t>(range.clamped()); !written) {
      return written;
    }
    if (auto written = section->write_values<std::uint64_t>(rows); !written) return written;
  }
  return section->finish();
}

// The float32 codes' scale is written only where the vectors read back
// would not set it again (GraphIndex::kept_code_scale), so files of
// ordinary data hold no such section. Finding that out reads every row, a
// fraction of writing them.
constexpr std::uint64_t kCodeScaleBytes = 2 * sizeof(std::uint64_t);

// Whether the scale is set, then its exponent (signed, two's complement).
std::expected<void, CodecError> write_code_scale(const codes::Float32Scale& scale, ByteSink& sink) {
  const std::array<std::uint64_t, 2> words = {
      scale.set ? 1U : 0U, static_cast<std::uint64_t>(static_cast<std::int64_t>(scale.exponent))};
  return write_array_section<std::uint64_t>(sink, SectionTag::CodeScale, words);
}

// The 8-bit codes as they are, so that a reader need not code every row
// again: the bytes of a code row, then every slot's code row, coding error
// and code length. Only 8-bit codes with a range:
// float32 codes cost a reader little to make again, and twice the bytes to
// store.
bool has_code_rows(const GraphIndex& index) {
  const codes::CodeStore* codes = index.codes();
  return codes != nullptr && codes->kind() == codes::CodeKind::Sq8 && !codes->range().empty();
}

// The code rows section starting at file offset `at`: its lead words, the
// padding that aligns the rows, the rows, then the errors and lengths.
std::uint64_t code_rows_padding(std::uint64_t at) {
  return padding_after(at + format::kSectionHeadBytes + kCodeRowsLeadWords * sizeof(std::uint64_t));
}

std::uint64_t code_rows_payload_bytes(const GraphIndex& index, std::uint64_t at) {
  if (!has_code_rows(index)) return 0;
  const codes::CodeStore& codes = *index.codes();
  return kCodeRowsLeadWords * sizeof(std::uint64_t) + code_rows_padding(at) +
         codes.code_rows().size() +
         (codes.coding_errors().size() + codes.code_lengths().size()) * sizeof(float);
}

std::expected<void, CodecError> write_padding(SectionWriter& section, std::uint64_t bytes) {
  const std::vector<std::uint8_t> zeros(bytes, 0);
  return section.write_values<std::uint8_t>(zeros);
}

std::expected<void, CodecError> write_code_rows(const GraphIndex& index, ByteSink& sink,
                                                std::uint64_t at) {
  const codes::CodeStore& codes = *index.codes();
  auto section =
      SectionWriter::begin(sink, SectionTag::CodeRows, code_rows_payload_bytes(index, at));
  if (!section) return std::unexpected(section.error());
  const std::array<std::uint64_t, kCodeRowsLeadWords> lead = {
      codes::code_row_bytes(index.dim(), codes::CodeKind::Sq8), code_rows_padding(at)};
  if (auto written = section->write_values<std::uint64_t>(lead); !written) return written;
  if (auto written = write_padding(*section, lead[1]); !written) return written;
  if (auto written = section->write_values<std::uint8_t>(codes.code_rows()); !written) {
    return written;
  }
  if (auto written = section->write_values<float>(codes.coding_errors()); !written) return written;
  if (auto written = section->write_values<float>(codes.code_lengths()); !written) return written;
  return section->finish();
}

// Each slot's squared norm (0 for a free slot), for a metric that divides
// by norms: what a reader mapping the file would otherwise compute from
// every row. After its padding word and the padding.
bool has_row_norms(const GraphIndex& index) {
  return !index.stored_norms().empty();
}

std::uint64_t row_norms_padding(std::uint64_t at) {
  return padding_after(at + format::kSectionHeadBytes + kRowNormsLeadWords * sizeof(std::uint64_t));
}

std::uint64_t row_norms_payload_bytes(const GraphIndex& index, std::uint64_t at) {
  if (!has_row_norms(index)) return 0;
  return kRowNormsLeadWords * sizeof(std::uint64_t) + row_norms_padding(at) +
         index.stored_norms().size() * sizeof(double);
}

std::expected<void, CodecError> write_row_norms(const GraphIndex& index, ByteSink& sink,
                                                std::uint64_t at) {
  auto section =
      SectionWriter::begin(sink, SectionTag::RowNorms, row_norms_payload_bytes(index, at));
  if (!section) return std::unexpected(section.error());
  const std::array<std::uint64_t, kRowNormsLeadWords> lead = {row_norms_padding(at)};
  if (auto written = section->write_values<std::uint64_t>(lead); !written) return written;
  if (auto written = write_padding(*section, lead[0]); !written) return written;
  if (auto written = section->write_values<double>(index.stored_norms()); !written) {
    return written;
  }
  return section->finish();
}

// How the rows are kept, written where they are held to a width (the
// vectors section gives the width in use): the storage's code (1 float32, 2
// float64; 0, adaptive, is what a file without the section means), then the
// bytes per number (4 or 8).
constexpr std::uint64_t kRowStorageBytes = 2 * sizeof(std::uint64_t);

std::uint64_t number_bytes(const GraphIndex& index) {
  return index.narrow_rows() ? sizeof(float) : sizeof(double);
}

bool holds_row_width(const GraphIndex& index) {
  return index.params().storage != graph::RowStorage::Adaptive;
}

std::expected<void, CodecError> write_row_storage(const GraphIndex& index, ByteSink& sink) {
  const std::array<std::uint64_t, 2> words = {static_cast<std::uint64_t>(index.params().storage),
                                              number_bytes(index)};
  return write_array_section<std::uint64_t>(sink, SectionTag::RowStorage, words);
}

// The upper layers' lists: a count word per node and layer, and a word per
// link.
std::uint64_t upper_link_words(const GraphIndex& index) {
  const graph::LinkStore& links = index.links();
  std::uint64_t words = 0;
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    for (unsigned layer = 1; layer <= links.level(slot); ++layer) {
      words += 1 + links.links(slot, layer).size();
    }
  }
  return words;
}

// The graph section starting at file offset `at`: its padding word, the
// padding, layer 0's lists in fixed places, then the upper lists.
std::uint64_t links_padding(std::uint64_t at) {
  return padding_after(at + format::kSectionHeadBytes + kGraphLeadWords * sizeof(std::uint64_t));
}

std::uint64_t links_payload_bytes(const GraphIndex& index, std::uint64_t at) {
  const std::uint64_t base_words =
      graph::LinkStore::layer_zero_words(index.params().m, index.slot_count());
  return kGraphLeadWords * sizeof(std::uint64_t) + links_padding(at) +
         (base_words + upper_link_words(index)) * sizeof(std::uint32_t);
}

std::uint64_t metadata_bytes(const GraphIndex& index) {
  if (!index.schema()) return 0;
  std::uint64_t bytes = 0;
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (!index.is_free(slot)) bytes += record_payload_bytes(index.record(slot));
  }
  return bytes;
}

FileHeader graph_header(const GraphIndex& index) {
  using Kind = FileKind<GraphIndex>;
  const graph::GraphParams& params = index.params();
  const std::size_t sections = Kind::kSections.size() + (has_labels(index) ? 1 : 0) +
                               (has_free_slots(index) ? 1 : 0) + (has_codes(index) ? 1 : 0) +
                               (index.kept_code_scale() ? 1 : 0) +
                               (holds_row_width(index) ? 1 : 0) + (has_code_rows(index) ? 1 : 0) +
                               (has_row_norms(index) ? 1 : 0);
  const std::span<const std::uint8_t> levels = index.links().levels();
  // Free slots keep their levels (a later addition fills them at it).
  const std::uint64_t layers =
      levels.empty() ? 0 : std::uint64_t{*std::ranges::max_element(levels)} + 1;
  return {.version = Kind::kVersion,
          .kind = Kind::kCode,
          .metric = params.metric,
          .section_count = static_cast<std::uint32_t>(sections),
          .dim = params.dim,
          .count = index.slot_count(),
          .layers = layers,
          .m = params.m,
          .ef_construction = params.ef_construction,
          .ef_search = params.ef_search};
}

// Link words go to the sink a piece at a time.
class LinkPieces {
 public:
  LinkPieces(SectionWriter& section, std::size_t longest) : section_(section) {
    piece_.reserve(kWordsPerPiece + longest);
  }
  std::vector<std::uint32_t>& words() { return piece_; }
  std::expected<void, CodecError> flush(bool whatever_size) {
    if (!whatever_size && piece_.size() < kWordsPerPiece) return {};
    auto written = section_.write_values<std::uint32_t>(piece_);
    piece_.clear();
    return written;
  }

 private:
  SectionWriter& section_;
  std::vector<std::uint32_t> piece_;
};

std::expected<void, CodecError> write_links(const GraphIndex& index, ByteSink& sink,
                                            std::uint64_t at) {
  auto section = SectionWriter::begin(sink, SectionTag::Graph, links_payload_bytes(index, at));
  if (!section) return std::unexpected(section.error());
  const std::array<std::uint64_t, kGraphLeadWords> lead = {links_padding(at)};
  if (auto written = section->write_values<std::uint64_t>(lead); !written) return written;
  if (auto written = write_padding(*section, lead[0]); !written) return written;
  const graph::LinkStore& links = index.links();
  LinkPieces pieces(*section, links.capacity(0) + 1);
  std::vector<std::uint32_t>& piece = pieces.words();
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    const std::span<const std::uint32_t> list = links.links(slot, 0);
    piece.push_back(static_cast<std::uint32_t>(list.size()));
    piece.insert(piece.end(), list.begin(), list.end());
    piece.resize(piece.size() + links.capacity(0) - list.size(), 0);
    if (auto written = pieces.flush(false); !written) return written;
  }
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    for (unsigned layer = 1; layer <= links.level(slot); ++layer) {
      const std::span<const std::uint32_t> list = links.links(slot, layer);
      piece.push_back(static_cast<std::uint32_t>(list.size()));
      piece.insert(piece.end(), list.begin(), list.end());
    }
    if (auto written = pieces.flush(false); !written) return written;
  }
  if (auto written = pieces.flush(true); !written) return written;
  return section->finish();
}

std::expected<void, CodecError> write_schema_section(const GraphIndex& index, ByteSink& sink) {
  auto section =
      SectionWriter::begin(sink, SectionTag::Schema, schema_payload_bytes(index.schema()));
  if (!section) return std::unexpected(section.error());
  if (auto written = write_schema(index.schema(), *section); !written) return written;
  return section->finish();
}

std::expected<void, CodecError> write_metadata_section(const GraphIndex& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::Metadata, metadata_bytes(index));
  if (!section) return std::unexpected(section.error());
  for (std::uint32_t slot = 0; index.schema() && slot < index.slot_count(); ++slot) {
    if (index.is_free(slot)) continue;
    if (auto written = write_record(index.record(slot), *section); !written) return written;
  }
  return section->finish();
}

// Every slot's row in the width the index keeps it (a free slot's is
// zeros), after the lead words and the padding that aligns them.
std::uint64_t vectors_payload_bytes(const GraphIndex& index) {
  return kSlotRowsLeadWords * sizeof(std::uint64_t) + slot_rows_padding() +
         index.slot_count() * index.dim() * number_bytes(index);
}

std::expected<void, CodecError> write_vectors(const GraphIndex& index, ByteSink& sink) {
  auto section = SectionWriter::begin(sink, SectionTag::Vectors, vectors_payload_bytes(index));
  if (!section) return std::unexpected(section.error());
  const std::array<std::uint64_t, kSlotRowsLeadWords> lead = {number_bytes(index), index.size(),
                                                              slot_rows_padding()};
  if (auto written = section->write_values<std::uint64_t>(lead); !written) return written;
  const std::vector<std::uint8_t> padding(slot_rows_padding(), 0);
  if (auto written = section->write_values<std::uint8_t>(padding); !written) return written;
  const RowsView rows = index.stored_rows();
  auto written = rows.narrow() ? section->write_values<float>(rows.narrow_values())
                               : section->write_values<double>(rows.wide_values());
  if (!written) return written;
  return section->finish();
}

std::expected<void, CodecError> write_labels(const GraphIndex& index, ByteSink& sink) {
  const std::uint64_t bytes = index.size() * sizeof(std::uint64_t);
  auto section = SectionWriter::begin(sink, SectionTag::Labels, bytes);
  if (!section) return std::unexpected(section.error());
  std::vector<std::uint64_t> piece;
  auto written = for_live_runs(index, [&](std::uint32_t begin, std::uint32_t end) {
    piece.clear();
    for (std::uint32_t slot = begin; slot < end; ++slot) piece.push_back(index.id_of(slot));
    return section->write_values<std::uint64_t>(piece);
  });
  if (!written) return written;
  return section->finish();
}

std::expected<void, CodecError> write_build_state(const GraphIndex& index, ByteSink& sink) {
  const std::array<std::uint64_t, kBuildStateWords> state = {index.params().seed, index.next_id()};
  return write_array_section<std::uint64_t>(sink, SectionTag::BuildState, state);
}

}  // namespace

namespace {

// Where the graph section starts: after the vectors and levels sections.
std::uint64_t links_offset(const GraphIndex& index) {
  return format::kHeaderBytes + 2 * kSectionFrameBytes + vectors_payload_bytes(index) +
         index.links().levels().size_bytes();
}

// The bytes before the sections of aligned arrays (code rows, row norms),
// which come last.
std::uint64_t bytes_before_arrays(const GraphIndex& index) {
  const std::uint64_t labels =
      has_labels(index) ? kSectionFrameBytes + index.size() * sizeof(std::uint64_t) : 0;
  const std::uint64_t free_slots =
      has_free_slots(index) ? kSectionFrameBytes + free_slots_bytes(index) : 0;
  const std::uint64_t codes =
      has_codes(index) ? kSectionFrameBytes + codes_payload_bytes(index) : 0;
  const std::uint64_t scale = index.kept_code_scale() ? kSectionFrameBytes + kCodeScaleBytes : 0;
  const std::uint64_t storage = holds_row_width(index) ? kSectionFrameBytes + kRowStorageBytes : 0;
  return format::kHeaderBytes + FileKind<GraphIndex>::kSections.size() * kSectionFrameBytes +
         vectors_payload_bytes(index) + index.links().levels().size_bytes() +
         links_payload_bytes(index, links_offset(index)) + schema_payload_bytes(index.schema()) +
         metadata_bytes(index) + kBuildStateWords * sizeof(std::uint64_t) + labels + free_slots +
         codes + scale + storage;
}

// Where the row norms section starts, after the code rows section at `at`.
std::uint64_t row_norms_offset(const GraphIndex& index, std::uint64_t at) {
  return at + (has_code_rows(index) ? kSectionFrameBytes + code_rows_payload_bytes(index, at) : 0);
}

}  // namespace

std::uint64_t FileKind<GraphIndex>::encoded_size(const GraphIndex& index) {
  const std::uint64_t arrays = bytes_before_arrays(index);
  const std::uint64_t norms_at = row_norms_offset(index, arrays);
  const std::uint64_t norms =
      has_row_norms(index) ? kSectionFrameBytes + row_norms_payload_bytes(index, norms_at) : 0;
  return norms_at + norms;
}

std::expected<void, CodecError> FileKind<GraphIndex>::encode(const GraphIndex& index,
                                                             ByteSink& sink) {
  if (auto written = sink.write(encode_header(graph_header(index))); !written) return written;
  if (auto written = write_vectors(index, sink); !written) return written;
  if (auto written = write_array_section(sink, SectionTag::Levels, index.links().levels());
      !written) {
    return written;
  }
  if (auto written = write_links(index, sink, links_offset(index)); !written) return written;
  if (auto written = write_schema_section(index, sink); !written) return written;
  if (auto written = write_metadata_section(index, sink); !written) return written;
  if (auto written = write_build_state(index, sink); !written) return written;
  if (has_labels(index)) {
    if (auto written = write_labels(index, sink); !written) return written;
  }
  if (has_free_slots(index)) {
    const std::vector<std::uint32_t> free = index.free_slots();
    if (auto written = write_array_section<std::uint32_t>(sink, SectionTag::FreeSlots, free);
        !written) {
      return written;
    }
  }
  if (has_codes(index)) {
    if (auto written = write_codes_section(index, sink); !written) return written;
  }
  if (const std::optional<codes::Float32Scale> scale = index.kept_code_scale()) {
    if (auto written = write_code_scale(*scale, sink); !written) return written;
  }
  if (holds_row_width(index)) {
    if (auto written = write_row_storage(index, sink); !written) return written;
  }
  const std::uint64_t arrays = bytes_before_arrays(index);
  if (has_code_rows(index)) {
    if (auto written = write_code_rows(index, sink, arrays); !written) return written;
  }
  if (has_row_norms(index)) return write_row_norms(index, sink, row_norms_offset(index, arrays));
  return {};
}

}  // namespace halqen::io
