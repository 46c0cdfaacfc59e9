// PyHNSW's index in the file format: kind 2, version 1.
#pragma once

#include "hnsw/hnsw.hpp"
#include "io/encode.hpp"
#include "io/file_kind.hpp"
#include "io/index_view.hpp"

namespace halqen::io {

template <>
struct FileKind<HNSW> {
  using Parts = HNSWParts;
  static constexpr std::uint32_t kCode = 2;
  static constexpr std::uint32_t kVersion = format::kFirstVersion;
  static constexpr std::span<const format::SectionTag> kSections = format::kHNSWSections;

  static std::uint64_t encoded_size(const HNSW& index) { return io::encoded_size(view_of(index)); }
  static std::expected<void, CodecError> encode(const HNSW& index, ByteSink& sink) {
    return io::encode(view_of(index), sink);
  }
  // Vectors, deleted flags (all 0), levels, graph, schema and metadata.
  static std::expected<Parts, CodecError> decode(ByteSource& source, const FileHeader& header,
                                                 Interrupt& interrupt);
};

}  // namespace halqen::io
