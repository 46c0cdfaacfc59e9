// Where the batches of a build end: counts alone decide, never time or
// threads, so every run makes the same batches.
#pragma once

#include <algorithm>
#include <cstddef>

namespace halqen::graph {

// A batch is at most this fraction of the graph it searches (the points of
// a batch do not see each other), and at most kMaxBatch points.
inline constexpr std::size_t kBatchDivisor = 16;
inline constexpr std::size_t kMaxBatch = 1024;

// The size of the batch that follows `committed` nodes: 1, 1, ..., then
// growing with the graph (prefix doubling) up to kMaxBatch.
inline std::size_t batch_size(std::size_t committed) {
  return std::clamp<std::size_t>(committed / kBatchDivisor, 1, kMaxBatch);
}

}  // namespace halqen::graph
