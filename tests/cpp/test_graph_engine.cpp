// The graph engine alone, over distances the test keeps (points in a plane,
// many of them equal): random batches of additions and removals, checked
// after every step against a plain model of which slots are live. Every
// live node is reached from the entry on each layer it is on, no list keeps
// a free slot, the entry is the lowest live slot of the highest level, and
// a walk as wide as the graph returns every live node in the order of a
// brute-force sort. Each time the engine would let searches in, every node
// a walk from the entry can meet is in use and has been named.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "common/interrupt.hpp"
#include "engine/graph_engine.hpp"
#include "engine/level_draw.hpp"

namespace halqen::graph {
namespace {

using Point = std::array<double, 2>;

double squared_distance(const Point& a, const Point& b) {
  const double dx = a[0] - b[0];
  const double dy = a[1] - b[1];
  return dx * dx + dy * dy;
}

class PointDistances final : public DistanceComputer {
 public:
  PointDistances(const std::vector<Point>& points, Point from) : points_(points), from_(from) {}
  void keys(const std::uint32_t* slots, std::size_t count, double* keys) override {
    for (std::size_t i = 0; i < count; ++i) keys[i] = squared_distance(from_, points_[slots[i]]);
  }
  void prefetch(std::uint32_t) const override {}

 private:
  const std::vector<Point>& points_;
  Point from_;
};

class PointSpace final : public NodeSpace {
 public:
  void from_node(std::uint32_t slot, Visit visit) const override {
    PointDistances distances(points, points[slot]);
    visit(distances);
  }
  std::vector<Point> points;
};

// A door that, wherever searches would come in, walks every layer from the
// entry as a search could, and fails on a node freed or not yet named; its
// turns end at every look at the clock.
class CheckingDoor final : public SearchDoor {
 public:
  explicit CheckingDoor(const GraphEngine& engine) : engine_(engine) {}
  void let_in() override { check_met_nodes(); }
  void keep_out() override {}
  void let_waiting_in() override {
    ++turns;
    check_met_nodes();
  }
  std::chrono::nanoseconds turn_time() const override { return std::chrono::nanoseconds(0); }

  std::set<std::uint32_t> named;
  std::size_t turns = 0;

 private:
  void check_met_nodes() {
    if (named.empty()) return;
    const LinkStore& links = engine_.links();
    std::set<std::uint32_t> seen{engine_.entry()};
    std::deque<std::uint32_t> queue{engine_.entry()};
    while (!queue.empty()) {
      const std::uint32_t node = queue.front();
      queue.pop_front();
      ASSERT_FALSE(engine_.slots().is_free(node)) << "a search could meet freed node " << node;
      ASSERT_EQ(named.count(node), 1u) << "a search could meet unnamed node " << node;
      for (unsigned layer = 0; layer <= links.level(node); ++layer) {
        for (const std::uint32_t next : links.links(node, layer)) {
          if (seen.insert(next).second) queue.push_back(next);
        }
      }
    }
  }

  const GraphEngine& engine_;
};

constexpr std::size_t kLinks = 3;
constexpr std::size_t kBuildWidth = 12;
constexpr std::uint64_t kSeed = 7;

class EngineModel {
 public:
  // Adds `count` points: free slots lowest first, then new ones.
  void add(std::size_t count, std::mt19937_64& rng) {
    const std::size_t linked_before = live.size();
    std::vector<std::uint32_t> nodes;
    std::vector<std::uint8_t> levels;
    std::vector<std::uint8_t> new_levels;
    for (std::size_t i = 0; i < count; ++i) {
      const bool reuse = engine.slots().free_count() > 0;
      const std::uint32_t slot =
          reuse ? engine.slots().take_lowest() : static_cast<std::uint32_t>(space.points.size());
      const auto level = static_cast<std::uint8_t>(reuse ? engine.links().level(slot)
                                                         : draw_level(kSeed, slot, kLinks));
      if (!reuse) {
        space.points.push_back({});
        new_levels.push_back(level);
      }
      space.points[slot] = point(rng);
      nodes.push_back(slot);
      levels.push_back(level);
      live.insert(slot);
    }
    std::vector<PendingLinks> pending(count);
    if (linked_before > 0) {
      for (std::size_t i = 0; i < count; ++i) {
        PointDistances from(space.points, space.points[nodes[i]]);
        pending[i] = engine.choose_links(from, levels[i], kBuildWidth, space);
      }
    }
    engine.link_batch(nodes, levels, pending, new_levels, linked_before == 0, space, runner, door,
                      [&] { door.named.insert(nodes.begin(), nodes.end()); });
    engine.forget_chosen_prefixes();
    engine.connect_unreached(space, door, nodes);
  }

  void remove(std::size_t count, std::mt19937_64& rng) {
    std::vector<std::uint32_t> held(live.begin(), live.end());
    std::shuffle(held.begin(), held.end(), rng);
    held.resize(std::min(count, held.size() - 1));
    std::sort(held.begin(), held.end());
    engine.remove_nodes(
        held, space, runner, [&](std::uint32_t slot) { door.named.erase(slot); }, door);
    for (const std::uint32_t slot : held) live.erase(slot);
  }

  void check() const {
    const LinkStore& links = engine.links();
    unsigned top = 0;
    std::uint32_t entry = *live.begin();
    for (const std::uint32_t slot : live) {
      ASSERT_FALSE(engine.slots().is_free(slot));
      if (links.level(slot) > top) {
        entry = slot;
        top = links.level(slot);
      }
      for (unsigned layer = 0; layer <= links.level(slot); ++layer) {
        for (const std::uint32_t target : links.links(slot, layer)) {
          ASSERT_EQ(live.count(target), 1u) << slot << " links to free slot " << target;
        }
      }
    }
    ASSERT_EQ(engine.entry(), entry);
    ASSERT_EQ(engine.top_level(), top);
    for (unsigned layer = 0; layer <= top; ++layer) check_reached(layer);
    check_walk();
  }

  GraphEngine engine{kLinks};
  PointSpace space;
  std::set<std::uint32_t> live;
  CheckingDoor door{engine};

 private:
  // Few distinct places: many points are equal, the case where the diversity
  // rule leaves nodes with no link in.
  static Point point(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> place(0, 5);
    return {static_cast<double>(place(rng)), static_cast<double>(place(rng))};
  }

  void check_reached(unsigned layer) const {
    const LinkStore& links = engine.links();
    std::vector<bool> seen(engine.slot_count());
    std::deque<std::uint32_t> queue{engine.entry()};
    seen[engine.entry()] = true;
    while (!queue.empty()) {
      const std::uint32_t node = queue.front();
      queue.pop_front();
      for (const std::uint32_t next : links.links(node, layer)) {
        if (!seen[next]) {
          seen[next] = true;
          queue.push_back(next);
        }
      }
    }
    for (const std::uint32_t slot : live) {
      if (links.level(slot) >= layer) {
        ASSERT_TRUE(seen[slot]) << "node " << slot << " is not reached on layer " << layer;
      }
    }
  }

  void check_walk() const {
    const Point query{2.5, 1.5};
    PointDistances distances(space.points, query);
    ScratchPool::Lease lease = engine.scratch().borrow();
    const std::vector<Candidate> walked = engine.walk(distances, live.size(), *lease);
    std::vector<std::pair<double, std::uint32_t>> expected;
    for (const std::uint32_t slot : live) {
      expected.emplace_back(squared_distance(query, space.points[slot]), slot);
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(walked.size(), expected.size());
    for (std::size_t i = 0; i < walked.size(); ++i) {
      ASSERT_EQ(walked[i].key, expected[i].first) << "at " << i;
    }
  }

  NeverInterrupt never_;
  mutable ThreadRunner runner{2, never_};
};

TEST(GraphEngine, BatchesOfAdditionsAndRemovalsKeepEveryInvariantOfAPlainModel) {
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    std::mt19937_64 rng(seed);
    EngineModel model;
    model.add(40, rng);
    model.check();
    std::uniform_int_distribution<std::size_t> size(1, 30);
    for (int step = 0; step < 40; ++step) {
      if (rng() % 2 == 0 && model.live.size() > 2) {
        model.remove(size(rng), rng);
      } else {
        model.add(size(rng), rng);
      }
      model.check();
      if (::testing::Test::HasFatalFailure()) {
        FAIL() << "seed " << seed << " step " << step;
      }
    }
    // The long writes were cut into turns, each checked.
    EXPECT_GT(model.door.turns, 0u) << "seed " << seed;
  }
}

}  // namespace
}  // namespace halqen::graph
