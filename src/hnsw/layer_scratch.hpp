// Working memory of layer searches, kept per thread and reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/search_hit.hpp"
#include "hnsw/distance_memo.hpp"
#include "hnsw/result_list.hpp"
#include "hnsw/visited_set.hpp"

namespace halqen {

struct LayerScratch {
  // Spans one operation (a search or an insertion); the rest, one layer search.
  DistanceMemo memo;
  VisitedSet visited;
  std::vector<SearchHit> results;  // sorted in distance order
  CandidateQueue candidates;       // heap, least rank in front
  // One expansion's admitted neighbours and their distances: the first
  // batch_count entries. Both only grow, to the longest list scanned, so a
  // scan writes into them without a capacity check per id.
  std::vector<std::uint32_t> batch_ids;
  std::vector<double> batch_distances;
  std::size_t batch_count = 0;
  // The admitted neighbours whose distance the memo lacks, their positions
  // in the batch and their computed distances.
  std::vector<std::uint32_t> missing_ids;
  std::vector<std::size_t> missing_positions;
  std::vector<double> missing_distances;
};

// The calling thread's scratch. Buffers only grow with use; each search
// starts by clearing what it uses.
LayerScratch& thread_layer_scratch();

}  // namespace halqen
