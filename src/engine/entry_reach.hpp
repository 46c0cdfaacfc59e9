// What a build guarantees of every layer, checked on a graph read back: each
// live node of a layer is reached from the entry by following links on it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "engine/link_store.hpp"
#include "engine/reach_trees.hpp"

namespace halqen::graph {

struct Unreached {
  std::uint32_t slot;
  unsigned layer;
};

// The first live node (by layer from the top, then slot) that no walk from
// `entry` reaches on a layer it is on, or none. One breadth-first pass per
// layer over the links; `free` flags the free slots, which are on no layer.
// Where every node is reached, the passes leave `trees` the forward tree
// they walked, so that the first small addition after a load is checked by
// what it touched.
std::optional<Unreached> first_unreached(const LinkStore& links, std::uint32_t entry,
                                         unsigned top_level, std::span<const std::uint8_t> free,
                                         ReachTrees& trees);

}  // namespace halqen::graph
