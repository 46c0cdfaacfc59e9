// Working memory of layer searches, kept per thread and reused.
#pragma once

#include <cstdint>
#include <vector>

#include "hnsw/result_list.hpp"
#include "hnsw/search_hit.hpp"
#include "hnsw/visited_set.hpp"

namespace halqen {

struct LayerScratch {
  VisitedSet visited;
  std::vector<SearchHit> results;        // sorted in distance order
  std::vector<Candidate> candidates;     // heap, least rank in front
  std::vector<std::uint32_t> batch_ids;  // one expansion's admitted neighbours
  std::vector<double> batch_distances;
};

// The calling thread's scratch. Buffers only grow with use; each search
// starts by clearing what it uses.
LayerScratch& thread_layer_scratch();

}  // namespace halqen
