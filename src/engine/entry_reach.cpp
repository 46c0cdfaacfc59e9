#include "engine/entry_reach.hpp"

#include <utility>
#include <vector>

#include "engine/layer_spread.hpp"

namespace halqen::graph {
namespace {

// Layer 0 is marked by each node's tree link, the node it was met from:
// the forward tree a loaded index keeps (reach_trees.hpp), at the cost of
// the marks alone.
class BaseMarks {
 public:
  explicit BaseMarks(std::size_t count) : met_from_(count, TreeLinks::kNone) {}
  bool seen(std::uint32_t node) const { return met_from_[node] != TreeLinks::kNone; }
  void mark(std::uint32_t node, std::uint32_t from) { met_from_[node] = from; }
  std::vector<std::uint32_t> release() { return std::move(met_from_); }

 private:
  std::vector<std::uint32_t> met_from_;
};

// An upper layer l is marked l + 1 (no mark vector is cleared between
// layers; levels are bytes, so 16 bits hold every mark), its few nodes'
// tree links recorded apart.
class UpperMarks {
 public:
  UpperMarks(std::vector<std::uint16_t>& marks, unsigned layer, ReachTrees& trees)
      : marks_(marks), mark_(static_cast<std::uint16_t>(layer + 1)), layer_(layer), trees_(trees) {}
  bool seen(std::uint32_t node) const { return marks_[node] == mark_; }
  void mark(std::uint32_t node, std::uint32_t from) {
    marks_[node] = mark_;
    trees_.record(layer_, node, from);
  }

 private:
  std::vector<std::uint16_t>& marks_;
  std::uint16_t mark_;
  unsigned layer_;
  ReachTrees& trees_;
};

template <class Marks>
std::optional<Unreached> first_unmarked(const LinkStore& links, unsigned layer,
                                        std::span<const std::uint8_t> free, const Marks& marks) {
  for (std::uint32_t slot = 0; slot < links.size(); ++slot) {
    if (free[slot] == 0 && links.level(slot) >= layer && !marks.seen(slot)) {
      return Unreached{slot, layer};
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<Unreached> first_unreached(const LinkStore& links, std::uint32_t entry,
                                         unsigned top_level, std::span<const std::uint8_t> free,
                                         ReachTrees& trees) {
  const std::size_t count = links.size();
  if (count == 0) return std::nullopt;
  trees.begin_pass(top_level);
  std::vector<std::uint32_t> queue;
  // Live nodes on each layer: links reach live nodes of the layer only (the
  // links were checked), so reaching as many as there are reaches them all.
  std::vector<std::size_t> on_layer(top_level + 1, 0);
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    if (free[slot] == 0) ++on_layer[links.level(slot)];
  }
  for (unsigned layer = top_level; layer-- > 0;) on_layer[layer] += on_layer[layer + 1];
  std::vector<std::uint16_t> upper_marks(top_level > 0 ? count : 0, 0);
  for (unsigned layer = top_level; layer > 0; --layer) {
    UpperMarks marks(upper_marks, layer, trees);
    if (spread(ForwardLinks(links, layer), entry, marks, queue) == on_layer[layer]) continue;
    return first_unmarked(links, layer, free, marks);
  }
  BaseMarks marks(count);
  if (spread(ForwardLinks(links, 0), entry, marks, queue) != on_layer[0]) {
    return first_unmarked(links, 0, free, marks);
  }
  trees.adopt_base(marks.release());
  trees.finish_pass(ReachDirection::Forward, true, entry, top_level, count);
  return std::nullopt;
}

}  // namespace halqen::graph
