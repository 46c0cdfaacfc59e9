// The partitions kept in step with the index: when a change ends, the
// partition of each value it touched is revised (the slots that left
// dropped, those that joined put in their nearest pivot's bucket) or built
// again once its members drifted far from those it was built over; a value
// that has none is given one if searches would scan it: the partitions a
// search needs are there when it comes, built from the index's contents
// alone, whichever searches ran before.
#include <memory>

#include "graph/filter_plan.hpp"
#include "graph/filtered_walk.hpp"
#include "graph/graph_index.hpp"

namespace halqen::graph {
namespace {

// Places looked at to judge whether a value's matches lie sparse anywhere:
// spread over the slots, as queries are over the data.
constexpr std::size_t kPlacesJudged = 32;

// The work of one touched value: a revision of `old`, or a build.
struct PartitionTask {
  ValueCode value;
  std::shared_ptr<const MatchPartition> old;
  std::vector<std::uint32_t> leaving;
  std::vector<std::uint32_t> joining;
  std::shared_ptr<const MatchPartition> made;
};

// Whether a list's count moved so far from the one a value was judged at
// that it is judged again.
bool moved_far(std::size_t judged_at, std::size_t count) {
  constexpr std::size_t kFactor = 2;
  return count >= kFactor * judged_at || kFactor * count <= judged_at;
}

}  // namespace

void GraphIndex::note_values_of(std::uint32_t slot) {
  for (std::size_t position = 0; position < params_.schema->size(); ++position) {
    const std::uint32_t code = postings_.code(position, slot);
    if (code == AttributePostings::kNoCode) continue;
    const ValueCode value{position, code};
    value_changes_.note(value, slot, partitions_->holds(value), orders_->holds(position));
  }
}

void GraphIndex::drop_touched_partitions() {
  for (const ValueMoves& moves : value_changes_.take()) partitions_->forget(moves.value);
  value_changes_.clear();
  orders_->forget_all();
}

void GraphIndex::settle_partitions(JobRunner& runner, SearchDoor& door) {
  std::vector<std::vector<std::uint32_t>> changed = value_changes_.take_order_changes();
  for (std::size_t position = 0; position < changed.size(); ++position) {
    orders_->note_changed(position, changed[position]);
  }
  std::vector<PartitionTask> tasks;
  for (ValueMoves& moves : value_changes_.take()) {
    const ValueCode value = moves.value;
    const std::span<const std::uint32_t> members = postings_.slots(value.position, value.code);
    std::shared_ptr<const MatchPartition> old = partitions_->find(value);
    if (members.size() <= kScoreMatchesUpTo) {
      if (old) partitions_->forget(value);
      continue;
    }
    if (old) {
      PartitionTask task;
      task.value = value;
      task.old = std::move(old);
      task.leaving = std::move(moves.slots);
      for (const std::uint32_t slot : task.leaving) {
        if (postings_.code(value.position, slot) == value.code) task.joining.push_back(slot);
      }
      tasks.push_back(std::move(task));
      continue;
    }
    const std::optional<std::size_t> judged_at = partitions_->declined_at(value);
    if (judged_at && !moved_far(*judged_at, members.size())) continue;
    if (!needs_partition(value, members.size())) {
      partitions_->decline(value, members.size());
      continue;
    }
    tasks.emplace_back().value = value;
  }
  if (tasks.empty()) return;
  const PieceJob job{
      tasks.size(), [&](std::size_t i) {
        PartitionTask& task = tasks[i];
        const auto members = postings_.slots(task.value.position, task.value.code);
        if (task.old) {
          auto revised = task.old->revised(task.leaving, task.joining, store_);
          if (!revised.drifted()) {
            task.made = std::make_shared<const MatchPartition>(std::move(revised));
            return;
          }
        }
        task.made = std::make_shared<const MatchPartition>(MatchPartition::build(members, store_));
      }};
  {
    // Builds only read the rows, links and lists: searches may run beside.
    const SearchesLetIn searches(door);
    runner.run(job, /*may_stop=*/true);
  }
  // A stop leaves some undone: those values build theirs at a search.
  for (PartitionTask& task : tasks) {
    if (task.made) {
      partitions_->put(task.value, std::move(task.made));
    } else {
      partitions_->forget(task.value);
    }
  }
}

bool GraphIndex::needs_partition(ValueCode value, std::size_t count) const {
  // A value this rare lies sparse around most queries.
  if (static_cast<double>(count) < kDenseShare * static_cast<double>(size())) return true;
  const auto admit = [&](std::uint32_t slot) {
    return postings_.code(value.position, slot) == value.code;
  };
  for (std::size_t place = 0; place < kPlacesJudged; ++place) {
    auto slot = static_cast<std::uint32_t>(place * slot_count() / kPlacesJudged);
    while (slot < slot_count() && is_free(slot)) ++slot;
    if (slot == slot_count()) break;
    if (match_density_around(links(), slot, admit) < kDenseShare) return true;
  }
  return false;
}

}  // namespace halqen::graph
