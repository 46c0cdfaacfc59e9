// The state seam of the two cores, as the codec sees it: the parts a
// decoded file becomes, and read-only views of an index to encode.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "metadata/metadata.hpp"
#include "metrics/metrics.hpp"

namespace halqen {

struct InvalidParts {
  std::string reason;
};

struct FlatParts {
  std::uint64_t dim = 0;
  MetricKind metric = MetricKind::Euclidean;
  std::uint64_t count = 0;
  std::vector<double> vectors;
};

struct HNSWParts {
  HNSWParams params{};
  std::uint64_t count = 0;
  std::vector<double> vectors;
  std::vector<std::uint64_t> levels;
  std::vector<std::uint64_t> neighbor_offsets;
  std::vector<std::uint32_t> neighbor_ids;
  std::vector<MetadataRecord> records;
};

}  // namespace halqen

namespace halqen::io {

// What the encoder reads from a flat index; the spans borrow its memory.
struct FlatView {
  std::uint64_t dim = 0;
  MetricKind metric = MetricKind::Euclidean;
  std::uint64_t count = 0;
  std::span<const double> vectors;
};

// What the encoder reads from a graph index. The per-node lists are asked
// for one node at a time, so the encoder never gathers them.
struct HNSWView {
  const HNSWParams* params = nullptr;
  std::uint64_t count = 0;
  std::span<const double> vectors;
  std::span<const std::uint64_t> levels;
  std::function<std::span<const std::uint32_t>(std::uint64_t node)> neighbors;
  std::function<std::span<const Metadata>(std::uint64_t node)> record;
};

}  // namespace halqen::io
