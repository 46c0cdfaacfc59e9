// Removal under the caller's ids: the engine repairs the links around the
// removed nodes (graph_engine_remove.cpp) and asks the index to clear what
// each slot held; an index left with more free slots than live ones is
// compacted. And the change of a vector's record alone, which leaves its
// row and links as they are.
#include <vector>

#include "common/sorted_distinct.hpp"
#include "graph/graph_index.hpp"
#include "graph/stored_space.hpp"

namespace halqen::graph {

std::expected<std::vector<std::uint32_t>, GraphError> GraphIndex::slots_of(
    std::span<const std::uint64_t> ids) const {
  std::vector<std::uint32_t> slots;
  slots.reserve(ids.size());
  for (std::size_t row = 0; row < ids.size(); ++row) {
    const std::optional<std::uint32_t> slot = labels_.slot_of(ids[row]);
    if (!slot) {
      return std::unexpected(
          GraphError{.kind = GraphErrorKind::UnknownId, .row = row, .detail = ids[row]});
    }
    slots.push_back(*slot);
  }
  return slots;
}

std::expected<void, GraphError> GraphIndex::remove(std::span<const std::uint64_t> ids,
                                                   JobRunner& runner) {
  auto slots = slots_of(ids);
  if (!slots) return std::unexpected(slots.error());
  sort_distinct(*slots);
  remove_slots(*slots, runner);
  settle_partitions(runner, gate());
  return {};
}

std::expected<void, GraphError> GraphIndex::update_records(std::span<const std::uint64_t> ids,
                                                           std::span<const MetadataRecord> records,
                                                           JobRunner& runner) {
  const auto slots = slots_of(ids);
  if (!slots) return std::unexpected(slots.error());
  try {
    for (std::size_t row = 0; row < slots->size(); ++row) {
      clear_record((*slots)[row]);
      set_record((*slots)[row], &records[row]);
    }
  } catch (...) {
    drop_touched_partitions();
    throw;
  }
  settle_partitions(runner, gate());
  return {};
}

void GraphIndex::remove_slots(std::span<const std::uint32_t> slots, JobRunner& runner) {
  if (slots.empty()) return;
  if (slots.size() == size()) {
    clear_all();
    return;
  }
  try {
    labels_.prepare_release();
    const StoredSpace rows(store_, nullptr);
    engine_.remove_nodes(
        slots, rows, runner, [this](std::uint32_t slot) { clear_slot(slot); }, gate());
  } catch (...) {
    // Whatever the failure left half done is checked by a full pass.
    engine_.forget_reach();
    drop_touched_partitions();
    throw;
  }
  if (engine_.slots().free_count() > size()) compact();
}

}  // namespace halqen::graph
