#include "graph/entry_reach.hpp"

#include <vector>

namespace halqen::graph {
namespace {

// How many queued nodes ahead a spread asks for the list it will read.
constexpr std::size_t kLookahead = 16;

// Marks with `mark` every node reached from `entry` on `layer`; how many.
std::size_t spread(const LinkStore& links, std::uint32_t entry, unsigned layer, std::uint16_t mark,
                   std::vector<std::uint16_t>& marks, std::vector<std::uint32_t>& queue) {
  queue.assign(1, entry);
  marks[entry] = mark;
  for (std::size_t head = 0; head < queue.size(); ++head) {
    // The lists lie all over the store: each is asked for a few turns
    // before it is read, so that several are on their way at once.
    if (head + kLookahead < queue.size()) links.prefetch(queue[head + kLookahead], layer);
    for (const std::uint32_t next : links.links(queue[head], layer)) {
      if (marks[next] == mark) continue;
      marks[next] = mark;
      queue.push_back(next);
    }
  }
  return queue.size();
}

}  // namespace

std::optional<Unreached> first_unreached(const LinkStore& links, std::uint32_t entry,
                                         unsigned top_level, std::span<const std::uint8_t> free) {
  const std::size_t count = links.size();
  if (count == 0) return std::nullopt;
  // Layer l is marked l + 1: no mark vector is cleared between layers.
  // Levels are bytes, so 16 bits hold every mark, in half the cache.
  std::vector<std::uint16_t> marks(count, 0);
  std::vector<std::uint32_t> queue;
  // Live nodes on each layer: links reach live nodes of the layer only (the
  // links were checked), so reaching as many as there are reaches them all.
  std::vector<std::size_t> on_layer(top_level + 1, 0);
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    if (free[slot] == 0) ++on_layer[links.level(slot)];
  }
  for (unsigned layer = top_level; layer-- > 0;) on_layer[layer] += on_layer[layer + 1];
  for (unsigned layer = top_level + 1; layer-- > 0;) {
    const auto mark = static_cast<std::uint16_t>(layer + 1);
    if (spread(links, entry, layer, mark, marks, queue) == on_layer[layer]) continue;
    for (std::uint32_t slot = 0; slot < count; ++slot) {
      if (free[slot] == 0 && links.level(slot) >= layer && marks[slot] != mark) {
        return Unreached{slot, layer};
      }
    }
  }
  return std::nullopt;
}

}  // namespace halqen::graph
