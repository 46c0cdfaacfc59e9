// The second half of a batch: the links its nodes chose are offered back to
// the nodes they point to, and nodes left without a link in are relinked.
#pragma once

#include <compare>
#include <cstdint>
#include <vector>

#include "engine/distance_computer.hpp"
#include "engine/job_runner.hpp"
#include "engine/link_store.hpp"

namespace halqen::graph {

// A node on one layer, ordered by layer then slot.
struct LayerNode {
  std::uint32_t layer;
  std::uint32_t slot;
  friend auto operator<=>(const LayerNode&, const LayerNode&) = default;
};

// A link a batch node asks its neighbour `target` to take back; key is
// their walk key.
struct ReverseLink {
  std::uint32_t target;
  std::uint32_t layer;
  double key;
  std::uint32_t source;
};

// Groups `reverse` by (layer, target), orders each group by (key, source)
// and merges it into the target's list, groups in parallel: the list takes
// the new links while they fit, beyond that the union is pruned by the
// diversity rule. Then every node of `added`, and every node a merge
// dropped, that no link points to any more is linked again (sequentially,
// in (layer, slot) order). The result does not depend on the threads.
void merge_reverse_links(std::vector<ReverseLink> reverse, std::vector<LayerNode> added,
                         LinkStore& links, const NodeSpace& space, JobRunner& runner);

}  // namespace halqen::graph
