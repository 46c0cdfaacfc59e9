// The breadth-first spread over one layer that both the load's reach check
// (entry_reach.cpp) and the connectivity passes (graph_engine_reach.cpp)
// make, each with marks of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/link_store.hpp"

namespace halqen::graph {

// How many queued nodes ahead a spread asks for what it reads.
inline constexpr std::size_t kSpreadLookahead = 16;

// The links of a layer as stored: whom each node links to. Read from the
// store as it is, so that a spread follows the links just made.
class ForwardLinks {
 public:
  ForwardLinks(const LinkStore& links, unsigned layer) : links_(links), layer_(layer) {}

  std::span<const std::uint32_t> of(std::uint32_t node) const { return links_.links(node, layer_); }
  // The lists lie all over the store: each is asked for a few turns before
  // its node's.
  [[gnu::always_inline]] void ask_ahead(std::span<const std::uint32_t> queue,
                                        std::size_t head) const {
    if (head + kSpreadLookahead < queue.size()) {
      links_.prefetch(queue[head + kSpreadLookahead], layer_);
    }
  }

 private:
  const LinkStore& links_;
  unsigned layer_;
};

// Marks `start` and everything it leads to along `links` (`of(node)`: the
// nodes a step from it), breadth first; `marks` says whether a node was
// seen and marks it with the node it was met from (`start` with itself).
// Asks ahead for what later turns read, so that several lists are on their
// way at once: ask_ahead is inlined by force, as GCC counts a function that
// only prefetches as one without effect and drops a call to it not inlined
// early, and the prefetch with it. How many nodes it marked.
template <class Links, class Marks>
std::size_t spread(const Links& links, std::uint32_t start, Marks& marks,
                   std::vector<std::uint32_t>& queue) {
  queue.assign(1, start);
  marks.mark(start, start);
  for (std::size_t head = 0; head < queue.size(); ++head) {
    links.ask_ahead(queue, head);
    const std::uint32_t from = queue[head];
    for (const std::uint32_t next : links.of(from)) {
      if (marks.seen(next)) continue;
      marks.mark(next, from);
      queue.push_back(next);
    }
  }
  return queue.size();
}

}  // namespace halqen::graph
