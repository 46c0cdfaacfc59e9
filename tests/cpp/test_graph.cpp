// The graph index against its invariants and a brute-force reference, on
// clustered data (on uniform noise every graph looks alike).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <tuple>
#include <vector>

#include "codes/code_kernels.hpp"
#include "common/interrupt.hpp"
#include "engine/batch_plan.hpp"
#include "engine/link_store.hpp"
#include "graph/exact_distances.hpp"
#include "graph/graph_index.hpp"
#include "graph/vector_store.hpp"
#include "graph_reach_count.hpp"
#include "metrics/dispatch.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {
namespace {

constexpr std::size_t kDim = 12;
constexpr std::size_t kCount = 1500;
constexpr std::size_t kClusters = 10;

// A Gaussian mixture: tight clusters around spread-out centres.
std::vector<double> clustered(std::size_t count, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> wide(0.0, 10.0);
  std::normal_distribution<double> tight(0.0, 1.0);
  std::vector<double> centres(kClusters * kDim);
  for (double& x : centres) x = wide(rng);
  std::vector<double> values(count * kDim);
  for (std::size_t row = 0; row < count; ++row) {
    const std::size_t cluster = rng() % kClusters;
    for (std::size_t c = 0; c < kDim; ++c) {
      values[row * kDim + c] = centres[cluster * kDim + c] + tight(rng);
    }
  }
  return values;
}

GraphParams small_graph(MetricKind metric, WalkKind walk = WalkKind::Exact) {
  GraphParams params;
  params.dim = kDim;
  params.metric = metric;
  params.walk = walk;
  params.m = 6;
  params.ef_construction = 40;
  return params;
}

GraphIndex build(MetricKind metric, const std::vector<double>& values, std::size_t threads,
                 std::size_t chunks = 1, WalkKind walk = WalkKind::Exact) {
  auto index = GraphIndex::create(small_graph(metric, walk));
  EXPECT_TRUE(index.has_value());
  NeverInterrupt never;
  ThreadRunner runner(threads, never);
  const std::size_t count = values.size() / kDim;
  for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
    const std::size_t begin = count * chunk / chunks;
    const std::size_t end = count * (chunk + 1) / chunks;
    Addition addition;
    addition.values.assign(values.begin() + begin * kDim, values.begin() + end * kDim);
    addition.count = end - begin;
    EXPECT_TRUE(index->add(std::move(addition), runner, nullptr).has_value());
  }
  return std::move(*index);
}

class GraphMetric : public testing::TestWithParam<MetricKind> {};
// A metric and what the walk reads.
class GraphWalk : public testing::TestWithParam<std::tuple<MetricKind, WalkKind>> {};

// Every list within its bounds, free of repeats, and every node reachable
// from the entry on every layer it is on.
void expect_sound_links(const GraphIndex& index) {
  const LinkStore& links = index.links();
  std::vector<std::size_t> on_layer(links.level(index.entry()) + 1);
  for (std::uint32_t node = 0; node < index.size(); ++node) {
    ASSERT_LE(links.level(node), links.level(index.entry()));
    for (unsigned layer = 0; layer <= links.level(node); ++layer) {
      ++on_layer[layer];
      std::vector<std::uint32_t> list(links.links(node, layer).begin(),
                                      links.links(node, layer).end());
      ASSERT_LE(list.size(), links.capacity(layer));
      for (const std::uint32_t target : list) {
        ASSERT_LT(target, index.size());
        ASSERT_NE(target, node);
        ASSERT_GE(links.level(target), layer);
      }
      std::sort(list.begin(), list.end());
      ASSERT_EQ(std::adjacent_find(list.begin(), list.end()), list.end()) << "repeated link";
    }
  }
  for (unsigned layer = 0; layer < on_layer.size(); ++layer) {
    EXPECT_EQ(reachable(index, layer), on_layer[layer]) << "layer " << layer;
  }
}

TEST_P(GraphMetric, LinksKeepTheirBoundsAndReachEveryNode) {
  const GraphIndex index = build(GetParam(), clustered(kCount, 1), 2, 3);
  ASSERT_EQ(index.size(), kCount);
  expect_sound_links(index);
}

// On codes too: the walk's candidates are then every node, and the exact
// rescoring must give exact search's answers, bit for bit. The codes' range
// widens while the index grows: the second half reaches twice as far.
TEST_P(GraphWalk, AWalkAsWideAsTheIndexIsExactSearch) {
  const auto [metric, walk] = GetParam();
  std::vector<double> values = clustered(kCount, 2);
  for (std::size_t i = values.size() / 2; i < values.size(); ++i) values[i] *= 2;
  const GraphIndex index = build(metric, values, 2, 2, walk);
  const std::vector<double> queries = clustered(20, 3);
  const MetricFn pair = metric_function(metric);
  const KeyOrder order(metric);
  constexpr std::size_t kK = 15;
  for (std::size_t q = 0; q < 20; ++q) {
    const std::span<const double> query(queries.data() + q * kDim, kDim);
    std::vector<Candidate> all;
    for (std::uint32_t slot = 0; slot < kCount; ++slot) {
      all.push_back({order.key(pair(query, std::span(values).subspan(slot * kDim, kDim))), slot});
    }
    std::sort(all.begin(), all.end(), Nearer{});
    const auto found = index.search(query, kK, kCount, nullptr);
    ASSERT_TRUE(found.has_value());
    ASSERT_EQ(found->size(), kK);
    for (std::size_t i = 0; i < kK; ++i) {
      EXPECT_EQ((*found)[i].id, all[i].slot);
      EXPECT_EQ(std::bit_cast<std::uint64_t>((*found)[i].value),
                std::bit_cast<std::uint64_t>(order.value(all[i].key)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, GraphMetric,
                         testing::Values(MetricKind::Euclidean, MetricKind::Cosine,
                                         MetricKind::InnerProduct));
INSTANTIATE_TEST_SUITE_P(Walks, GraphWalk,
                         testing::Combine(testing::Values(MetricKind::Euclidean, MetricKind::Cosine,
                                                          MetricKind::InnerProduct),
                                          testing::Values(WalkKind::Exact, WalkKind::Float32,
                                                          WalkKind::Sq8)));

bool same_graph(const GraphParts& a, const GraphParts& b) {
  return a.levels == b.levels && a.links == b.links && a.labels == b.labels &&
         a.vectors.size() == b.vectors.size() &&
         std::equal(a.vectors.begin(), a.vectors.end(), b.vectors.begin(), [](double x, double y) {
           return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
         });
}

TEST(GraphBuild, TheSameGraphForEveryThreadCountAndKernelLevel) {
  const std::vector<double> values = clustered(kCount, 4);
  const KernelLevel original = active_kernel();
  force_kernel(KernelLevel::Scalar);
  const GraphParts reference = build(MetricKind::Cosine, values, 1, 2).parts();
  for (const KernelLevel level : available_kernels()) {
    force_kernel(level);
    for (const std::size_t threads : {1, 2, 5}) {
      EXPECT_TRUE(same_graph(build(MetricKind::Cosine, values, threads, 2).parts(), reference))
          << kernel_name(level) << " with " << threads << " threads";
    }
  }
  force_kernel(original);
}

// A graph built on codes measures with the code kernels: every level of
// those gives the same bits, so the same graph.
TEST(GraphBuild, OnCodesTheSameGraphForEveryThreadCountAndCodeLevel) {
  const std::vector<double> values = clustered(kCount, 6);
  const codes::CodeLevel original = codes::active_code_level();
  for (const WalkKind walk : {WalkKind::Float32, WalkKind::Sq8}) {
    codes::force_code_level(codes::CodeLevel::Scalar);
    const GraphParts reference = build(MetricKind::Euclidean, values, 1, 2, walk).parts();
    for (const codes::CodeLevel level : codes::available_code_levels()) {
      codes::force_code_level(level);
      for (const std::size_t threads : {1, 5}) {
        EXPECT_TRUE(
            same_graph(build(MetricKind::Euclidean, values, threads, 2, walk).parts(), reference))
            << codes::code_level_name(level) << " with " << threads << " threads, walk "
            << static_cast<int>(walk);
      }
    }
  }
  codes::force_code_level(original);
}

// Asks to stop at every question: a batch whose search is asked is dropped,
// one that ends before is kept, and no batch starts after a question.
class StopAtOnce final : public Interrupt {
 public:
  bool requested() override { return true; }
};

TEST(GraphBuild, AStoppedAdditionKeepsWholeBatchesAndRebuildsFromParts) {
  const std::vector<double> values = clustered(kCount, 5);
  auto index = GraphIndex::create(small_graph(MetricKind::Euclidean));
  ASSERT_TRUE(index.has_value());
  Addition first;
  first.values.assign(values.begin(), values.begin() + 100 * kDim);
  first.count = 100;
  NeverInterrupt never;
  ThreadRunner runner(2, never);
  ASSERT_TRUE(index->add(std::move(first), runner, nullptr).has_value());
  Addition second;
  second.values.assign(values.begin() + 100 * kDim, values.end());
  second.count = kCount - 100;
  StopAtOnce stop;
  ThreadRunner stopping(2, stop);
  const auto stopped = index->add(std::move(second), stopping, nullptr);
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.error().kind, GraphErrorKind::Interrupted);
  EXPECT_GE(index->size(), 100U);
  EXPECT_LE(index->size(), 100U + 100U / kBatchDivisor);
  auto rebuilt = GraphIndex::from_parts(index->parts());
  ASSERT_TRUE(rebuilt.has_value()) << rebuilt.error().reason;
  EXPECT_TRUE(same_graph(rebuilt->parts(), index->parts()));
  const auto found = rebuilt->search(std::span(values).subspan(7 * kDim, kDim), 1, 100, nullptr);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->front().id, 7U);
}

// The checks of an addition to an index that holds nothing, made on its
// settings alone, refuse what such an index refuses; with the rows checked
// apart, only their count is read.
TEST(GraphBuild, ANewAdditionIsRefusedAsAnEmptyIndexRefusesIt) {
  const GraphParams params = small_graph(MetricKind::Cosine);
  const auto empty = GraphIndex::create(params);
  ASSERT_TRUE(empty.has_value());
  const auto addition = [&](std::vector<std::uint64_t> ids) {
    Addition made;
    made.values = clustered(3, 7);
    made.count = 3;
    if (!ids.empty()) made.ids = std::move(ids);
    return made;
  };
  std::vector<Addition> refused;
  refused.push_back(addition({4, 5, 4}));
  refused.push_back(addition({4, 5}));
  refused.push_back(addition({4, 5, kLargestId + 1}));
  refused.push_back(addition({}));
  refused.back().values[kDim + 2] = std::nan("");
  refused.push_back(addition({}));
  std::fill_n(refused.back().values.begin() + 2 * kDim, kDim, 0.0);
  refused.push_back(addition({}));
  refused.back().values.resize(2 * kDim);
  for (const Addition& given : refused) {
    const auto expected = empty->check_addition(given);
    const auto got = GraphIndex::check_new_addition(params, given);
    ASSERT_TRUE(expected.has_value());
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(describe(*got, kDim), describe(*expected, kDim));
  }
  EXPECT_FALSE(GraphIndex::check_new_addition(params, addition({7, 8, 9})).has_value());

  Addition apart = addition({4, 5, 4});
  apart.values.clear();
  const auto repeated = GraphIndex::check_new_addition(params, apart, /*rows_apart=*/true);
  ASSERT_TRUE(repeated.has_value());
  EXPECT_EQ(repeated->kind, GraphErrorKind::RepeatedId);
  EXPECT_EQ(repeated->row, 2U);
  apart.ids = std::vector<std::uint64_t>{4, 5, 6};
  EXPECT_FALSE(GraphIndex::check_new_addition(params, apart, /*rows_apart=*/true).has_value());
}

// Per slot, per layer, the lists of a graph's parts, and back.
using LayerLists = std::vector<std::vector<std::vector<std::uint32_t>>>;

LayerLists lists_of(const GraphParts& parts) {
  LayerLists lists(parts.count);
  std::size_t at = 0;
  for (std::size_t slot = 0; slot < parts.count; ++slot) {
    for (unsigned layer = 0; layer <= parts.levels[slot]; ++layer) {
      const std::uint32_t length = parts.links[at++];
      lists[slot].emplace_back(parts.links.begin() + at, parts.links.begin() + at + length);
      at += length;
    }
  }
  return lists;
}

std::vector<std::uint32_t> words_of(const LayerLists& lists) {
  std::vector<std::uint32_t> words;
  for (const auto& layers : lists) {
    for (const auto& list : layers) {
      words.push_back(static_cast<std::uint32_t>(list.size()));
      words.insert(words.end(), list.begin(), list.end());
    }
  }
  return words;
}

// Two nodes that link only to each other on layer 0, one of them reached on
// layer 1: no build leaves such an island, and a graph read back with one
// is refused, naming the first node the entry does not reach.
TEST(GraphBuild, AGraphWithAnIslandOnlyAnUpperLayerReachesIsRefused) {
  const std::vector<double> values = clustered(300, 6);
  const GraphIndex built = build(MetricKind::Euclidean, values, 1);
  const std::uint32_t entry = built.entry();
  GraphParts parts = built.parts();
  std::uint32_t upper = 0;
  while (upper == entry || parts.levels[upper] == 0) ++upper;
  std::uint32_t lower = upper + 1;
  while (parts.levels[lower] != 0) ++lower;
  LayerLists lists = lists_of(parts);
  for (auto& layers : lists) {
    std::erase_if(layers[0],
                  [&](std::uint32_t target) { return target == upper || target == lower; });
  }
  lists[upper][0] = {lower};
  lists[lower][0] = {upper};
  parts.links = words_of(lists);
  const auto island = GraphIndex::from_parts(std::move(parts));
  ASSERT_FALSE(island.has_value());
  EXPECT_NE(island.error().reason.find("slot " + std::to_string(upper) +
                                       " is not reached from the entry"),
            std::string::npos)
      << island.error().reason;
}

// Adding one row at a time must not copy the whole store each time: rows go
// to a buffer that grows by a share of what it holds.
TEST(GraphStore, OneRowAtATimeMovesTheRowsRarely) {
  constexpr std::size_t kStart = 1000;
  for (const RowStorage storage : {RowStorage::Float64, RowStorage::Float32}) {
    VectorStore store(kDim, MetricKind::Cosine, storage);
    store.append(std::vector<double>(kStart * kDim, 1.0), kStart);
    std::size_t moves = 0;
    for (std::size_t i = 0; i < kStart; ++i) {
      const void* before = store.row_address(0);
      store.append(std::vector<double>(kDim, 2.0), 1);
      moves += store.row_address(0) != before ? 1 : 0;
    }
    EXPECT_LT(moves, kStart / 20) << "the store was copied for " << moves << " of " << kStart
                                  << " single rows";
    EXPECT_EQ(store.size(), 2 * kStart);
    std::vector<double> scratch;
    EXPECT_EQ(store.row(static_cast<std::uint32_t>(2 * kStart - 1), scratch)[0], 2.0);
  }
}

// The removal's scan keeps only the nodes this finds: it must find every
// list that holds a target, whatever the range scanned and whatever words a
// shortened list left past its end.
TEST(GraphStore, TheScanForLinksMissesNoListThatHoldsATarget) {
  constexpr std::uint32_t kNodes = 300;
  constexpr std::size_t kM = 4;
  constexpr int kTrials = 200;
  constexpr std::uint32_t kMostTargets = 16;
  std::mt19937 rng(7);
  LinkStore links(kM);
  links.append_nodes(std::vector<std::uint8_t>(kNodes, 0));
  for (std::uint32_t node = 0; node < kNodes; ++node) {
    std::vector<std::uint32_t> list(rng() % (links.capacity(0) + 1));
    for (std::uint32_t& target : list) target = rng() % kNodes;
    links.set_links(node, 0, list, 0);
    if (rng() % 2 == 0) links.set_links(node, 0, std::span(list).first(list.size() / 2), 0);
  }
  for (int trial = 0; trial < kTrials; ++trial) {
    std::vector<std::uint32_t> targets(1 + rng() % kMostTargets);
    for (std::uint32_t& target : targets) target = rng() % kNodes;
    const std::uint32_t first = rng() % kNodes;
    const std::uint32_t last = first + rng() % (kNodes - first + 1);
    std::vector<std::uint32_t> found;
    links.may_link_to(targets, first, last, found);
    ASSERT_TRUE(std::ranges::is_sorted(found));
    ASSERT_TRUE(
        std::ranges::all_of(found, [&](std::uint32_t n) { return n >= first && n < last; }));
    for (std::uint32_t node = first; node < last; ++node) {
      const bool holds = std::ranges::any_of(links.links(node, 0), [&](std::uint32_t t) {
        return std::ranges::count(targets, t) > 0;
      });
      if (holds) {
        ASSERT_TRUE(std::ranges::binary_search(found, node))
            << "node " << node << ", trial " << trial;
      }
    }
  }
}

// Random words as a damaged file could hold them: an adopted list reads as
// it lies when its count and every link are within bounds, else as empty.
TEST(GraphStore, AnAdoptedLayerZeroReadsOnlyListsWithinBounds) {
  constexpr std::uint32_t kNodes = 200;
  constexpr std::size_t kM = 3;
  const std::size_t stride = 2 * kM + 1;
  std::mt19937 rng(11);
  std::vector<std::uint32_t> words(LinkStore::layer_zero_words(kM, kNodes));
  for (std::uint32_t& word : words) {
    // Mostly plausible words, some far out of bounds.
    word = rng() % 8 == 0 ? rng() : rng() % (kNodes + 2);
  }
  for (std::size_t node = 0; node < kNodes; ++node) words[node * stride] %= stride + 1;
  words[3 * stride] = 0x10002;  // a count of 2 with bits above the count's
  const std::vector<std::uint8_t> levels(kNodes, 0);
  LinkStore links(kM);
  links.adopt_layer_zero(levels, words, nullptr);
  std::size_t whole = 0;
  for (std::uint32_t node = 0; node < kNodes; ++node) {
    const std::uint32_t* list = words.data() + node * stride;
    const std::size_t count = list[0] & 0xFFFF;
    const bool within = count <= 2 * kM && std::all_of(list + 1, list + 1 + std::min(count, 2 * kM),
                                                       [](std::uint32_t t) { return t < kNodes; });
    const std::span<const std::uint32_t> read = links.links(node, 0);
    if (within) {
      ++whole;
      ASSERT_TRUE(std::ranges::equal(read, std::span(list + 1, count))) << node;
    } else {
      ASSERT_TRUE(read.empty()) << node;
    }
  }
  EXPECT_GT(whole, kNodes / 10);
  EXPECT_LT(whole, kNodes);
}

}  // namespace
}  // namespace halqen::graph
