// Index parts to encode, and byte-level surgery on encoded files, for the
// codec tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "graph/graph_index.hpp"
#include "hnsw/hnsw.hpp"
#include "io/byte_sink.hpp"
#include "io/crc32c.hpp"
#include "io/encode.hpp"
#include "io/format.hpp"
#include "io/graph_file.hpp"
#include "io/index_view.hpp"
#include "io/little_endian.hpp"
#include "io/partition_file.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {

using Bytes = std::vector<std::byte>;

inline io::FlatView view_of(const FlatParts& parts) {
  return {.dim = parts.dim, .metric = parts.metric, .count = parts.count, .vectors = parts.vectors};
}

inline io::HNSWView view_of(const HNSWParts& parts) {
  io::HNSWView view;
  view.params = &parts.params;
  view.count = parts.count;
  view.vectors = parts.vectors;
  view.levels = parts.levels;
  view.neighbors = [&parts](std::uint64_t node) {
    const auto begin = parts.neighbor_offsets[node];
    const auto end = parts.neighbor_offsets[node + 1];
    return std::vector<std::uint32_t>(parts.neighbor_ids.begin() + begin,
                                      parts.neighbor_ids.begin() + end);
  };
  view.neighbor_count = [&parts](std::uint64_t node) {
    return parts.neighbor_offsets[node + 1] - parts.neighbor_offsets[node];
  };
  view.record = [&parts](std::uint64_t node) {
    return std::span<const Metadata>(parts.records[node]);
  };
  return view;
}

template <typename View>
Bytes encode_to_bytes(const View& view) {
  Bytes bytes(io::encoded_size(view));
  io::SpanSink sink(bytes);
  EXPECT_TRUE(io::encode(view, sink).has_value());
  EXPECT_EQ(sink.written(), bytes.size());
  return bytes;
}

// Any kind's parts encoded: through a view, or through the index they build.
inline Bytes encode_parts(const FlatParts& parts) {
  return encode_to_bytes(view_of(parts));
}
inline Bytes encode_parts(const HNSWParts& parts) {
  return encode_to_bytes(view_of(parts));
}
// Through the index they build, for the kinds whose codec reads an index.
template <class Core>
Bytes encode_index_parts(typename io::FileKind<Core>::Parts parts) {
  using KindFile = io::FileKind<Core>;
  auto index = Core::from_parts(std::move(parts));
  EXPECT_TRUE(index.has_value()) << index.error().reason;
  Bytes bytes(KindFile::encoded_size(*index));
  io::SpanSink sink(bytes);
  EXPECT_TRUE(KindFile::encode(*index, sink).has_value());
  EXPECT_EQ(sink.written(), bytes.size());
  return bytes;
}
inline Bytes encode_parts(const graph::GraphParts& parts) {
  return encode_index_parts<graph::GraphIndex>(parts);
}
inline Bytes encode_parts(const partition::PartitionParts& parts) {
  return encode_index_parts<partition::PartitionIndex>(parts);
}

inline std::vector<double> random_vectors(std::uint64_t count, std::uint64_t dim,
                                          std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> normal;
  std::vector<double> values(count * dim);
  for (auto& value : values) value = normal(random);
  return values;
}

inline FlatParts random_flat_parts(std::uint64_t count, std::uint64_t dim, MetricKind metric,
                                   std::uint64_t seed) {
  FlatParts parts;
  parts.dim = dim;
  parts.metric = metric;
  parts.count = count;
  parts.vectors = random_vectors(count, dim, seed);
  return parts;
}

inline Metadata metadata_value(std::mt19937_64& random) {
  switch (random() % 3) {
    case 0:
      return Metadata::String(std::string("v\0", 2) + std::to_string(random() % 5));
    case 1:
      return Metadata::Int(static_cast<std::int64_t>(random()));
    default:
      return Metadata::Float(std::bit_cast<double>(random()));
  }
}

// A real graph built by the core, read out node by node.
inline HNSWParts built_hnsw_parts(HNSWParams params, std::uint64_t count, std::uint64_t seed) {
  HNSW index(params);
  SplitMixSource levels(seed);
  std::mt19937_64 random(seed);
  const auto vectors = random_vectors(count, params.dim, seed);
  for (std::uint64_t node = 0; node < count; ++node) {
    MetadataRecord record;
    const bool with_record = params.schema && random() % 4 != 0;
    if (with_record) {
      for (std::size_t i = 0; i < params.schema->size(); ++i)
        record.push_back(metadata_value(random));
    }
    const auto vector = std::span(vectors).subspan(node * params.dim, params.dim);
    (void)index.insert(vector, with_record ? &record : nullptr, levels);
  }
  HNSWParts parts;
  parts.params = params;
  parts.count = index.size();
  parts.vectors = vectors;
  parts.neighbor_offsets.push_back(0);
  for (std::uint64_t node = 0; node < index.size(); ++node) {
    parts.levels.push_back(index.level(node));
    const auto neighbors = index.neighbors(node);
    parts.neighbor_ids.insert(parts.neighbor_ids.end(), neighbors.begin(), neighbors.end());
    parts.neighbor_offsets.push_back(parts.neighbor_ids.size());
    const auto record = index.metadata().record(node);
    parts.records.emplace_back(record.begin(), record.end());
  }
  return parts;
}

// Bitwise equality, so NaN payloads and signed zeros count.
inline bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool same_records(const std::vector<MetadataRecord>& a,
                         const std::vector<MetadataRecord>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t n = 0; n < a.size(); ++n) {
    if (a[n].size() != b[n].size()) return false;
    for (std::size_t i = 0; i < a[n].size(); ++i) {
      const auto& x = a[n][i].value;
      const auto& y = b[n][i].value;
      if (x.index() != y.index()) return false;
      const bool same = x.index() == 2 ? std::bit_cast<std::uint64_t>(std::get<double>(x)) ==
                                             std::bit_cast<std::uint64_t>(std::get<double>(y))
                                       : x == y;
      if (!same) return false;
    }
  }
  return true;
}

// Where each section of an encoded file starts (at its head).
inline std::vector<std::size_t> section_offsets(const Bytes& file) {
  std::vector<std::size_t> offsets;
  std::size_t offset = io::format::kHeaderBytes;
  while (offset < file.size()) {
    offsets.push_back(offset);
    const auto length = io::load_le<std::uint64_t>(
        std::span(file).subspan(offset + io::format::kSectionLengthOffset));
    offset += io::format::kSectionHeadBytes + length + io::format::kSectionChecksumBytes;
  }
  return offsets;
}

// Recomputes the header's checksum after its fields were edited.
inline void reseal_header(Bytes& file) {
  const auto checksum = io::crc32c(std::span(file).first(io::format::kHeaderChecksumOffset));
  io::store_le(std::span(file).subspan(io::format::kHeaderChecksumOffset), checksum);
}

// Recomputes the checksum of the section starting at `offset`.
inline void reseal_section(Bytes& file, std::size_t offset) {
  const auto length = io::load_le<std::uint64_t>(
      std::span(file).subspan(offset + io::format::kSectionLengthOffset));
  const auto covered = std::span(file).subspan(offset, io::format::kSectionHeadBytes + length);
  io::store_le(std::span(file).subspan(offset + covered.size()), io::crc32c(covered));
}

}  // namespace halqen::testing
