// Read-only views of an index for the encoder: its state as the cores'
// read-out accessors give it, borrowed, never copied.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "flat/flat.hpp"
#include "hnsw/hnsw.hpp"
#include "metadata/metadata.hpp"
#include "metrics/metrics.hpp"

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
  std::function<std::vector<std::uint32_t>(std::uint64_t node)> neighbors;
  std::function<std::size_t(std::uint64_t node)> neighbor_count;
  std::function<std::span<const Metadata>(std::uint64_t node)> record;
};

// Views that borrow the index; it must outlive them and stay unchanged.
FlatView view_of(const FlatIndex& index);
HNSWView view_of(const HNSW& index);

}  // namespace halqen::io
