// The second half of a batch: the links its nodes chose are offered back to
// the nodes they point to, and nodes left without a link in are relinked.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/distance_computer.hpp"
#include "engine/job_runner.hpp"
#include "engine/link_store.hpp"
#include "engine/search_door.hpp"

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

// A target's list once the links offered to it are merged in, and the
// nodes the merge dropped from it.
struct MergedList {
  std::uint32_t target = 0;
  std::uint32_t layer = 0;
  std::vector<std::uint32_t> links;
  std::size_t diverse_prefix = 0;
  std::vector<std::uint32_t> dropped;
};

// Groups `reverse` by (layer, target), orders each group by (key, source)
// and merges it with the target's list, groups in parallel: the list takes
// the new links while they fit, beyond that the union is pruned by the
// diversity rule. Only reads the lists; the result, in (layer, target)
// order, does not depend on the threads.
std::vector<MergedList> merge_reverse_links(std::vector<ReverseLink> reverse,
                                            const LinkStore& links, const NodeSpace& space,
                                            JobRunner& runner);
// Writes the merged lists, in turns that let the searches waiting through
// `door`; then every node of `added`, and every node a merge dropped, that
// no link points to any more is linked again (sequentially, in (layer,
// slot) order).
void write_merged_lists(std::span<const MergedList> merged, std::vector<LayerNode> added,
                        LinkStore& links, SearchDoor& door);

}  // namespace halqen::graph
