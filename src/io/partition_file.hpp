// halqen_ext's PartitionIndex in the file format: kind 4, written in
// version 4.
//
// Sections: vectors (every slot's row as doubles, a free slot's zeros),
// partition state (the seed, the next default id, the vectors held at the
// last training, the partitions asked for, the bits of the squared code
// error past which a member is an exception: five words), centroids (the
// partitions p, then p * dim doubles, then, when p > 0, the code books'
// dim * 16), partition lists (per partition: its member count as a word,
// the members' slots as 32-bit words, their 4-bit code blocks, then its
// exceptions' count as a word and their slots as 32-bit words); then,
// optionally, labels (every slot's id, 2^64 - 1 for a free slot, written
// only when the ids are not the slots themselves).
#pragma once

#include <cstdint>
#include <expected>

#include "io/byte_sink.hpp"
#include "io/byte_source.hpp"
#include "io/codec_error.hpp"
#include "io/file_kind.hpp"
#include "io/format.hpp"
#include "io/header.hpp"
#include "partition/partition_index.hpp"

namespace halqen::io {

template <>
struct FileKind<partition::PartitionIndex> {
  using Parts = partition::PartitionParts;
  static constexpr std::uint32_t kCode = 4;
  static constexpr std::uint32_t kVersion = format::kFixedLinksVersion;
  static constexpr std::span<const format::SectionTag> kSections = format::kPartitionSections;

  static std::uint64_t encoded_size(const partition::PartitionIndex& index);
  static std::expected<void, CodecError> encode(const partition::PartitionIndex& index,
                                                ByteSink& sink);
  static std::expected<Parts, CodecError> decode(ByteSource& source, const FileHeader& header,
                                                 Interrupt& interrupt);
};

}  // namespace halqen::io
