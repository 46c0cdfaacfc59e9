// The engine's state, and how a batch's links are written.
#include "engine/graph_engine.hpp"

namespace halqen::graph {

GraphEngine::GraphEngine(std::size_t m)
    : m_(m),
      links_(m),
      scratch_(std::make_unique<ScratchPool>()),
      reach_(std::make_unique<ReachTrees>()) {
  links_.keep_journal(&reach_->journal());
}

std::uint64_t GraphEngine::heap_bytes() const {
  return links_.heap_bytes() + slots_.heap_bytes() + reach_->heap_bytes();
}

void GraphEngine::link_batch(std::span<const std::uint32_t> nodes,
                             std::span<const std::uint8_t> levels,
                             std::span<const PendingLinks> pending,
                             std::span<const std::uint8_t> new_levels, bool onto_empty,
                             const NodeSpace& space, JobRunner& runner, SearchDoor& door,
                             FunctionRef<void()> name_nodes) {
  std::vector<ReverseLink> reverse;
  std::vector<LayerNode> added;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    for (std::uint32_t layer = 0; layer < pending[i].layers.size(); ++layer) {
      added.push_back({layer, nodes[i]});
      for (const Candidate& c : pending[i].layers[layer]) {
        reverse.push_back({c.slot, layer, c.key, nodes[i]});
      }
    }
  }
  note_prefixes_chosen(added, reverse);
  // The links offered back go to nodes already in the graph, whose lists
  // are merged from the graph as it stands: searches may run meanwhile.
  std::vector<MergedList> merged;
  {
    const SearchesLetIn searches(door);
    merged = merge_reverse_links(std::move(reverse), links_, space, runner);
  }
  links_.append_nodes(new_levels);
  slots_.append_live(new_levels.size());
  std::vector<std::uint32_t> targets;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    for (std::uint32_t layer = 0; layer < pending[i].layers.size(); ++layer) {
      targets.clear();
      for (const Candidate& c : pending[i].layers[layer]) targets.push_back(c.slot);
      links_.set_links(nodes[i], layer, targets, targets.size());
    }
  }
  name_nodes();
  write_merged_lists(merged, std::move(added), links_, door);
  raise_entry(nodes, levels, onto_empty);
}

// The lowest slot of the highest level is the entry.
void GraphEngine::raise_entry(std::span<const std::uint32_t> nodes,
                              std::span<const std::uint8_t> levels, bool was_empty) {
  const unsigned old_top = was_empty ? 0 : top_level_;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::uint32_t slot = nodes[i];
    const bool higher = levels[i] > top_level_;
    const bool lower_slot = levels[i] == top_level_ && slot < entry_;
    if ((was_empty && i == 0) || higher || lower_slot) {
      entry_ = slot;
      top_level_ = levels[i];
    }
  }
  const unsigned lowest = was_empty ? 0 : old_top + 1;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::uint32_t node = nodes[i];
    for (unsigned layer = lowest; layer <= levels[i] && node != entry_; ++layer) {
      if (!links_.has_room(entry_, layer)) continue;
      links_.append_link(entry_, layer, node);
      if (links_.has_room(node, layer)) links_.append_link(node, layer, entry_);
    }
  }
}

void GraphEngine::forget_chosen_prefixes() {
  if (forget_every_prefix_) {
    links_.forget_prefixes();
  } else {
    for (const LayerNode& list : chose_prefix_) links_.forget_prefix(list.slot, list.layer);
  }
  chose_prefix_.clear();
  forget_every_prefix_ = false;
}

void GraphEngine::distances_changed() {
  links_.forget_prefixes();
}

// Past as many lists as the graph has nodes, one pass over every list
// costs less than the record of them.
void GraphEngine::note_prefixes_chosen(std::span<const LayerNode> added,
                                       std::span<const ReverseLink> reverse) {
  if (forget_every_prefix_) return;
  chose_prefix_.insert(chose_prefix_.end(), added.begin(), added.end());
  for (const ReverseLink& link : reverse) chose_prefix_.push_back({link.layer, link.target});
  if (chose_prefix_.size() > slot_count()) {
    forget_every_prefix_ = true;
    chose_prefix_ = {};
  }
}

void GraphEngine::choose_entry() {
  bool found = false;
  for (std::uint32_t slot = 0; slot < slot_count(); ++slot) {
    if (slots_.is_free(slot)) continue;
    if (!found || links_.level(slot) > top_level_) {
      entry_ = slot;
      top_level_ = links_.level(slot);
      found = true;
    }
  }
}

}  // namespace halqen::graph
