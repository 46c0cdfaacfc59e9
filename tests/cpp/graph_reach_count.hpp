// The graph tests' count of the nodes a walk can reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "graph/graph_index.hpp"

namespace halqen::graph {

// The nodes of `layer` reached from the entry by following links.
inline std::size_t reachable(const GraphIndex& index, unsigned layer) {
  const LinkStore& links = index.links();
  std::vector<bool> seen(index.slot_count());
  std::deque<std::uint32_t> queue{index.entry()};
  seen[index.entry()] = true;
  std::size_t count = 1;
  while (!queue.empty()) {
    const std::uint32_t node = queue.front();
    queue.pop_front();
    for (const std::uint32_t next : links.links(node, layer)) {
      if (seen[next]) continue;
      seen[next] = true;
      ++count;
      queue.push_back(next);
    }
  }
  return count;
}

}  // namespace halqen::graph
