// Removal in the graph core: after removals the graph keeps its invariants
// (no link to a free slot, every live node reachable on every layer, the
// entry the lowest live slot of the highest level), later additions fill the
// free slots lowest first, and parts with free slots are checked as hostile
// input: each fault named with its numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "common/interrupt.hpp"
#include "graph/graph_index.hpp"
#include "graph_reach_count.hpp"
#include "rows_of.hpp"

namespace halqen::graph {
namespace {

constexpr std::size_t kDim = 4;

std::vector<double> random_rows(std::size_t count, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> values(count * kDim);
  for (double& x : values) x = normal(rng);
  return values;
}

GraphIndex built(std::size_t count, std::uint32_t seed) {
  auto index =
      GraphIndex::create({.dim = kDim, .m = 3, .ef_construction = 16, .schema = Schema{"tag"}});
  EXPECT_TRUE(index.has_value());
  Addition addition;
  addition.values = random_rows(count, seed);
  addition.count = count;
  addition.records.emplace();
  for (std::size_t row = 0; row < count; ++row) {
    addition.records->push_back({Metadata{std::int64_t(row % 3)}});
  }
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  EXPECT_TRUE(index->add(std::move(addition), runner, nullptr).has_value());
  return std::move(*index);
}

void remove_ids(GraphIndex& index, std::vector<std::uint64_t> ids) {
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  ASSERT_TRUE(index.remove(ids, runner).has_value());
}

// Live nodes of `layer` reached from the entry, and those on the layer.
std::pair<std::size_t, std::size_t> reached_of(const GraphIndex& index, unsigned layer) {
  const LinkStore& links = index.links();
  const std::size_t reached = reachable(index, layer);
  std::size_t on_layer = 0;
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    on_layer += !index.is_free(slot) && links.level(slot) >= layer ? 1 : 0;
  }
  return {reached, on_layer};
}

TEST(GraphRemove, RemovalsKeepTheInvariantsAndFreeSlotsAreFilledLowestFirst) {
  GraphIndex index = built(400, 1);
  std::vector<std::uint64_t> removed{index.id_of(index.entry())};
  for (std::uint64_t id = 3; id < 400; id += 3) removed.push_back(id);
  remove_ids(index, removed);
  ASSERT_EQ(index.size(), 400 - removed.size());
  const LinkStore& links = index.links();
  std::uint32_t lowest_top = 0;
  while (index.is_free(lowest_top) || links.level(lowest_top) != index.top_level()) ++lowest_top;
  EXPECT_EQ(index.entry(), lowest_top);
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (!index.is_free(slot)) {
      EXPECT_LE(links.level(slot), index.top_level());
    }
    for (unsigned layer = 0; layer <= links.level(slot); ++layer) {
      for (const std::uint32_t target : links.links(slot, layer)) {
        ASSERT_FALSE(index.is_free(slot) || index.is_free(target)) << slot << " -> " << target;
      }
    }
  }
  for (unsigned layer = 0; layer <= index.top_level(); ++layer) {
    const auto [reached, on_layer] = reached_of(index, layer);
    EXPECT_EQ(reached, on_layer) << "layer " << layer;
  }
  std::vector<std::uint32_t> expected = index.free_slots();
  expected.resize(5);
  Addition addition;
  addition.values = random_rows(5, 2);
  addition.count = 5;
  NeverInterrupt never;
  ThreadRunner runner(1, never);
  ASSERT_TRUE(index.add(std::move(addition), runner, nullptr).has_value());
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(index.slot_of(400 + i), expected[i]);
}

// Every link on every layer, recounted: no list names a free slot, and
// each node's count of links in, which tells a removal when it has found
// them all, is the count of lists naming it.
void expect_links_consistent(const GraphIndex& index) {
  const LinkStore& links = index.links();
  std::vector<std::vector<std::uint32_t>> into(index.top_level() + 1,
                                               std::vector<std::uint32_t>(index.slot_count(), 0));
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (index.is_free(slot)) continue;
    for (unsigned layer = 0; layer <= links.level(slot); ++layer) {
      for (const std::uint32_t target : links.links(slot, layer)) {
        ASSERT_FALSE(index.is_free(target)) << slot << " -> " << target << " on " << layer;
        ++into[layer][target];
      }
    }
  }
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (index.is_free(slot)) continue;
    for (unsigned layer = 0; layer <= links.level(slot); ++layer) {
      ASSERT_EQ(links.links_in(slot, layer), into[layer][slot]) << slot << " on " << layer;
    }
  }
}

// Lists of 2m = 4 links over 70,000 nodes: a removal looks for the links
// into a node hop by hop around it, and at this size some are found there
// and some only by reading every list after a search that read part of
// them, which must then count none twice.
TEST(GraphRemove, SmallRemovalsFindEveryLinkInWhereverItComesFrom) {
  constexpr std::size_t kCount = 70000;
  auto created = GraphIndex::create({.dim = kDim, .m = 2, .ef_construction = 16, .schema = {}});
  ASSERT_TRUE(created.has_value());
  GraphIndex& index = *created;
  Addition addition;
  addition.values = random_rows(kCount, 7);
  addition.count = kCount;
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  ASSERT_TRUE(index.add(std::move(addition), runner, nullptr).has_value());
  std::mt19937_64 rng(8);
  std::vector<std::uint64_t> ids(kCount);
  std::iota(ids.begin(), ids.end(), 0);
  std::shuffle(ids.begin(), ids.end(), rng);
  for (std::size_t at = 0; at < 120; at += 1 + at % 2) {
    remove_ids(index, {ids.begin() + at, ids.begin() + at + 1 + at % 2});
  }
  // No add follows: a link left to a removed node is still there.
  expect_links_consistent(index);
  for (unsigned layer = 0; layer <= index.top_level(); ++layer) {
    const auto [reached, on_layer] = reached_of(index, layer);
    EXPECT_EQ(reached, on_layer) << "layer " << layer;
  }
}

TEST(GraphRemove, RemovingMostVectorsCompactsTheSlots) {
  GraphIndex index = built(300, 3);
  std::vector<std::uint64_t> removed;
  for (std::uint64_t id = 0; id < 300; ++id) {
    if (id % 5 != 0) removed.push_back(id);
  }
  remove_ids(index, removed);
  EXPECT_EQ(index.slot_count(), 60u);
  EXPECT_TRUE(index.free_slots().empty());
  for (std::uint64_t id = 0; id < 300; id += 5) EXPECT_EQ(index.slot_of(id), id / 5);
}

// Asks to stop at every question: the batch whose search is asked is dropped.
class StopAtOnce final : public Interrupt {
 public:
  bool requested() override { return true; }
};

TEST(GraphRemove, AStoppedAdditionGivesBackTheFreeSlotsItDidNotFill) {
  GraphIndex index = built(300, 5);
  std::vector<std::uint64_t> removed;
  for (std::uint64_t id = 1; id < 300; id += 3) removed.push_back(id);
  remove_ids(index, removed);
  const GraphParts before = index.parts();
  Addition addition;
  addition.values = random_rows(150, 6);
  addition.count = 150;
  StopAtOnce stop;
  ThreadRunner stopping(2, stop);
  const auto stopped = index.add(std::move(addition), stopping, nullptr);
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.error().kind, GraphErrorKind::Interrupted);
  // The batches before the stop filled the lowest free slots; the rest are
  // free again.
  const std::size_t committed = index.size() - before.vectors.size() / kDim;
  ASSERT_LT(committed, 150u);
  const GraphParts after = index.parts();
  EXPECT_EQ(after.free_slots, std::vector<std::uint32_t>(before.free_slots.begin() + committed,
                                                         before.free_slots.end()));
  const auto rebuilt = GraphIndex::from_parts(after);
  EXPECT_TRUE(rebuilt.has_value()) << rebuilt.error().reason;
  EXPECT_EQ(index.slot_count(), 300u);
  const std::vector<double> rows = widened(index.stored_rows());
  EXPECT_EQ(rows.size(), 300 * kDim);
  for (const std::uint32_t slot : after.free_slots) {
    const std::span<const double> row = std::span(rows).subspan(slot * kDim, kDim);
    EXPECT_TRUE(std::ranges::all_of(row, [](double x) { return x == 0.0; })) << slot;
  }
}

// A replacing addition that fails part way (here its progress report
// throws, as an allocation might): each id it replaces holds its old vector
// and record or its new ones, and each new id is stored whole or not at all.
TEST(GraphRemove, AReplacingAdditionCutShortLeavesEachReplacedIdOldOrNew) {
  constexpr std::size_t kCount = 200;
  constexpr std::uint64_t kFreshIds = 1000;
  constexpr std::size_t kBatchesDone = 2;
  GraphIndex index = built(300, 8);
  const std::vector<double> old_rows = widened(index.stored_rows());
  // Even rows replace their row number's id, odd rows bring new ids.
  Addition addition;
  addition.values = random_rows(kCount, 9);
  addition.count = kCount;
  addition.ids.emplace();
  addition.records.emplace();
  for (std::uint64_t row = 0; row < kCount; ++row) {
    addition.ids->push_back(row % 2 == 0 ? row : kFreshIds + row);
    addition.records->push_back({Metadata{std::int64_t(7)}});
  }
  const Addition given = addition;
  std::size_t reports = 0;
  const ProgressFn fail = [&](std::size_t, std::size_t) {
    if (++reports == kBatchesDone) throw std::bad_alloc();
  };
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  EXPECT_THROW((void)index.add(std::move(addition), runner, fail), std::bad_alloc);

  const auto row_of = [](std::span<const double> values, std::size_t row) {
    return std::vector<double>(values.begin() + row * kDim, values.begin() + (row + 1) * kDim);
  };
  std::size_t renewed = 0;
  for (std::uint64_t row = 0; row < kCount; ++row) {
    const std::uint64_t id = (*given.ids)[row];
    const auto slot = index.slot_of(id);
    if (id >= kFreshIds && !slot) continue;
    ASSERT_TRUE(slot.has_value()) << "replaced id " << id << " is gone";
    const std::vector<double> held = row_of(widened(index.stored_rows()), *slot);
    const std::vector<Metadata> record(index.record(*slot).begin(), index.record(*slot).end());
    if (held == row_of(given.values, row)) {
      EXPECT_EQ(record, (*given.records)[row]) << id;
      renewed += id < kFreshIds ? 1 : 0;
    } else {
      ASSERT_LT(id, kFreshIds);
      EXPECT_EQ(held, row_of(old_rows, id)) << id;
      EXPECT_EQ(record, (std::vector<Metadata>{Metadata{std::int64_t(id % 3)}})) << id;
    }
  }
  EXPECT_GT(renewed, 0u);
  EXPECT_LT(renewed, kCount / 2);
  const auto rebuilt = GraphIndex::from_parts(index.parts());
  EXPECT_TRUE(rebuilt.has_value()) << rebuilt.error().reason;
}

// Lists longer than a quick comparison covers: every node of 70 linked to
// every other on layer 0 (m 40 lets 80 links).
TEST(GraphRemove, ALinkGivenTwiceInALongListIsNamed) {
  constexpr std::uint32_t kNodes = 70;
  GraphParts parts;
  parts.params.dim = kDim;
  parts.params.m = 40;
  parts.params.walk = WalkKind::Exact;
  parts.count = kNodes;
  parts.vectors = random_rows(kNodes, 3);
  parts.levels.assign(kNodes, 0);
  parts.next_id = kNodes;
  for (std::uint32_t slot = 0; slot < kNodes; ++slot) {
    parts.links.push_back(kNodes - 1);
    for (std::uint32_t target = 0; target < kNodes; ++target) {
      if (target != slot) parts.links.push_back(target);
    }
  }
  ASSERT_TRUE(GraphIndex::from_parts(parts).has_value());
  // Slot 0's 50th link (to 50) given again in place of its last (to 69).
  parts.links[kNodes - 1] = 50;
  const auto loaded = GraphIndex::from_parts(parts);
  ASSERT_FALSE(loaded.has_value());
  EXPECT_NE(loaded.error().reason.find("slot 0 links to 50 on layer 0 twice"), std::string::npos)
      << loaded.error().reason;
}

// Rows are checked in pieces on several threads: the row named is the
// first bad one, counted among the live rows, whether the rows come one per
// live vector or one per slot (free ones zeros).
TEST(GraphRemove, TheFirstBadRowOfALoadIsNamedAmongTheLiveOnes) {
  GraphIndex index = built(9000, 5);
  remove_ids(index, {2, 7, 8500});
  const GraphParts live_rows = index.parts();
  GraphParts slot_rows = live_rows;
  slot_rows.rows_by_slot = true;
  slot_rows.wide_rows = true;
  slot_rows.vectors.assign(9000 * kDim, 0.0);
  for (std::uint32_t slot = 0, live = 0; slot < 9000; ++slot) {
    if (std::ranges::binary_search(live_rows.free_slots, slot)) continue;
    std::copy_n(live_rows.vectors.begin() + live++ * kDim, kDim,
                slot_rows.vectors.begin() + slot * kDim);
  }
  ASSERT_TRUE(GraphIndex::from_parts(slot_rows).has_value());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Live vectors 8600 and 5000: slots 8603 and 5002.
  for (GraphParts parts : {live_rows, slot_rows}) {
    const std::size_t late = parts.rows_by_slot ? 8603 : 8600;
    const std::size_t early = parts.rows_by_slot ? 5002 : 5000;
    parts.vectors[late * kDim + 1] = nan;
    parts.vectors[early * kDim + 3] = nan;
    const auto rebuilt = GraphIndex::from_parts(std::move(parts));
    ASSERT_FALSE(rebuilt.has_value());
    EXPECT_NE(rebuilt.error().reason.find("live vector 5000 has a component that is not finite"),
              std::string::npos)
        << rebuilt.error().reason;
  }
}

TEST(GraphRemove, PartsWithFreeSlotsAreCheckedAsHostileInput) {
  GraphIndex index = built(40, 4);
  remove_ids(index, {5, 9, 30});
  const GraphParts valid = index.parts();
  ASSERT_EQ(valid.free_slots, (std::vector<std::uint32_t>{5, 9, 30}));
  ASSERT_TRUE(GraphIndex::from_parts(valid).has_value());
  // Slot 0's layer-0 list: its count, then its links.
  ASSERT_GE(valid.links[0], 1u);
  const std::pair<std::function<void(GraphParts&)>, std::string> faults[] = {
      {[](GraphParts& p) {
         p.free_slots = {5, 9, 9};
       },
       "free slot 9 is listed twice"},
      {[](GraphParts& p) {
         p.free_slots = {5, 9, 40};
       },
       "free slot 40 is past the last slot 39"},
      {[](GraphParts& p) {
         p.free_slots = {9, 5, 30};
       },
       "free slot 5 is listed after 9: out of order"},
      {[](GraphParts& p) { p.links[1] = 9; }, "slot 0 links to 9 on layer 0, a free slot"},
      {[](GraphParts& p) {
         p.free_slots = {0, 5, 9, 30};
         p.vectors.resize(36 * kDim);
       },
       "free slot 0 has "},
      {[](GraphParts& p) { p.labels.assign(40, 1000); }, "40 ids for 37 live vectors"},
      {[](GraphParts& p) { p.records.resize(40); }, "40 metadata records for 37 live vectors"},
      {[](GraphParts& p) { p.vectors.resize(40 * kDim); },
       "160 vector components for 37 live vectors of 4"},
      {[](GraphParts& p) {
         p.free_slots.clear();
         for (std::uint32_t s = 0; s < 21; ++s) p.free_slots.push_back(s);
       },
       "21 free slots of 40: more than the live ones"},
  };
  for (const auto& [damage, phrase] : faults) {
    GraphParts broken = valid;
    damage(broken);
    const auto rebuilt = GraphIndex::from_parts(std::move(broken));
    ASSERT_FALSE(rebuilt.has_value()) << phrase;
    EXPECT_NE(rebuilt.error().reason.find(phrase), std::string::npos) << rebuilt.error().reason;
  }
}

}  // namespace
}  // namespace halqen::graph
