// halqen_ext's GraphIndex in the file format: kind 3, written in version 3
// (version 2 files read too).
//
// Sections: vectors (every slot's row, float32 or float64; version 2: the
// live slots' rows as doubles), levels (one byte per node), graph
// (per node, per layer 0..level: the link count, then the links, as 32-bit
// words), schema, metadata (a record per node with a schema, else empty),
// build state (seed, next default id); then, optionally, labels (one 64-bit
// id per node, written only when the ids are not the slots themselves).
// The header's layers is the highest level plus one (0 when empty).
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "graph/graph_index.hpp"
#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/file_kind.hpp"
#include "io/format.hpp"
#include "io/header.hpp"

namespace halqen::io {

// The zero bytes that bring a file offset to the next multiple of
// kArrayAlignment (none where it is one): what the sections that hold a
// bulk array put before it, so that it could be mapped and read in place.
constexpr std::uint64_t padding_after(std::uint64_t offset) {
  return (format::kArrayAlignment - offset % format::kArrayAlignment) % format::kArrayAlignment;
}

// Version 3's vectors section leads with three words: the bytes per number
// (4 or 8), the live slots, and the zero bytes that follow before the rows.
// The section comes first, right after the header.
inline constexpr std::uint64_t kSlotRowsLeadWords = 3;
constexpr std::uint64_t slot_rows_padding() {
  return padding_after(format::kHeaderBytes + format::kSectionHeadBytes +
                       kSlotRowsLeadWords * sizeof(std::uint64_t));
}
// The code rows section leads with the bytes of a code row and its padding;
// the row norms section with its padding.
inline constexpr std::uint64_t kCodeRowsLeadWords = 2;
// Version 4's graph section leads with its padding, then layer 0's lists in
// fixed places (LinkStore::layer_zero_words), then the upper layers' lists.
inline constexpr std::uint64_t kGraphLeadWords = 1;
inline constexpr std::uint64_t kRowNormsLeadWords = 1;

template <>
struct FileKind<graph::GraphIndex> {
  using Parts = graph::GraphParts;
  static constexpr std::uint32_t kCode = 3;
  static constexpr std::uint32_t kVersion = format::kFixedLinksVersion;
  static constexpr std::uint32_t kFirstVersion = format::kOptionalSectionsVersion;
  static constexpr std::span<const format::SectionTag> kSections = format::kGraphSections;

  static std::uint64_t encoded_size(const graph::GraphIndex& index);
  static std::expected<void, CodecError> encode(const graph::GraphIndex& index, ByteSink& sink);
  static std::expected<Parts, CodecError> decode(ByteSource& source, const FileHeader& header,
                                                 Interrupt& interrupt);
  // As decode, for a file mapped into memory (`source` over its bytes,
  // which `owner` keeps mapped): the vectors, codes and norms stay where
  // they lie, unread, so their checksums are not compared; so do layer 0's
  // lists from version 4 on, checked as a walk reads them. A file of a
  // version before 3, or without the norms the cosine divides by, is
  // refused with the way out.
  static std::expected<Parts, CodecError> decode_mapped(SpanSource& source,
                                                        const FileHeader& header,
                                                        std::shared_ptr<const void> owner,
                                                        Interrupt& interrupt);
};

}  // namespace halqen::io
