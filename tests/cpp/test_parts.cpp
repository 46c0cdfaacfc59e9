// Reading an index out into parts and rebuilding it from them: the round
// trip is exact, the rebuilt index behaves like the original, and parts that
// do not fit together are refused with a reason.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "flat/flat.hpp"
#include "hnsw/hnsw.hpp"
#include "test_hnsw_support.hpp"

namespace halqen {
namespace {

using testing::DataKind;
using testing::make_vector;
using testing::same_hits;
using testing::SplitMixSource;

constexpr MetricKind kAllMetrics[] = {MetricKind::Euclidean, MetricKind::Cosine,
                                      MetricKind::InnerProduct};
constexpr std::uint64_t kDim = 5;

std::vector<std::uint64_t> bits_of(std::span<const double> values) {
  std::vector<std::uint64_t> bits;
  for (const double value : values) {
    bits.push_back(std::bit_cast<std::uint64_t>(value));
  }
  return bits;
}

HNSWParts parts_of(const HNSW& graph) {
  HNSWParts parts;
  parts.params = graph.params();
  parts.count = graph.size();
  parts.vectors.assign(graph.vectors().begin(), graph.vectors().end());
  parts.levels.assign(graph.levels().begin(), graph.levels().end());
  parts.neighbor_offsets.push_back(0);
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    const auto list = graph.neighbors(node);
    parts.neighbor_ids.insert(parts.neighbor_ids.end(), list.begin(), list.end());
    parts.neighbor_offsets.push_back(parts.neighbor_ids.size());
    const auto record = graph.metadata().record(node);
    parts.records.emplace_back(record.begin(), record.end());
  }
  return parts;
}

void expect_same_parts(const HNSWParts& a, const HNSWParts& b) {
  EXPECT_EQ(a.params.dim, b.params.dim);
  EXPECT_EQ(a.params.layers, b.params.layers);
  EXPECT_EQ(a.params.m, b.params.m);
  EXPECT_EQ(a.params.ef_construction, b.params.ef_construction);
  EXPECT_EQ(a.params.ef_search, b.params.ef_search);
  EXPECT_EQ(a.params.metric, b.params.metric);
  EXPECT_EQ(a.params.schema, b.params.schema);
  EXPECT_EQ(a.count, b.count);
  EXPECT_EQ(bits_of(a.vectors), bits_of(b.vectors));
  EXPECT_EQ(a.levels, b.levels);
  EXPECT_EQ(a.neighbor_offsets, b.neighbor_offsets);
  EXPECT_EQ(a.neighbor_ids, b.neighbor_ids);
  EXPECT_EQ(a.records, b.records);
}

MetadataRecord record_for(std::mt19937_64& engine) {
  return {Metadata::Int(static_cast<std::int64_t>(engine() % 3)),
          Metadata::String(engine() % 2 == 0 ? "red" : "blue")};
}

// Every third node without a record; vectors with NaNs now and then.
void insert_nodes(HNSW& graph, std::uint64_t count, std::mt19937_64& engine, RandomSource& rng) {
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::vector<double> vector = make_vector(engine, graph.dim(), DataKind::WithNaN);
    const MetadataRecord record = record_for(engine);
    ASSERT_TRUE(graph.insert(vector, engine() % 3 == 0 ? nullptr : &record, rng));
  }
}

HNSWParams small_params(MetricKind metric) {
  HNSWParams params;
  params.dim = kDim;
  params.layers = 4;
  params.ef_construction = 12;
  params.ef_search = 10;
  params.metric = metric;
  params.schema = Schema{"size", "color"};
  return params;
}

void expect_same_searches(const HNSW& a, const HNSW& b, std::mt19937_64& engine) {
  const Filter red = equality_filter("color", Metadata::String("red"));
  for (int query_index = 0; query_index < 20; ++query_index) {
    const std::vector<double> query = make_vector(engine, kDim, DataKind::Real);
    for (const Filter* filter : {static_cast<const Filter*>(nullptr), &red}) {
      const auto expected = a.search(query, 7, filter);
      const auto actual = b.search(query, 7, filter);
      ASSERT_TRUE(expected && actual);
      EXPECT_TRUE(same_hits(*expected, *actual));
    }
  }
}

TEST(HNSWParts, RebuiltIndexMatchesTheOriginalNowAndAfterInsertions) {
  for (const MetricKind metric : kAllMetrics) {
    std::mt19937_64 engine(static_cast<std::uint64_t>(metric) + 11);
    SplitMixSource build_random(5);
    HNSW original(small_params(metric));
    insert_nodes(original, 300, engine, build_random);

    const HNSWParts parts = parts_of(original);
    auto rebuilt = HNSW::from_parts(parts);
    ASSERT_TRUE(rebuilt) << rebuilt.error().reason;
    expect_same_parts(parts, parts_of(*rebuilt));
    expect_same_searches(original, *rebuilt, engine);

    // The same later insertions with the same random source give the same graph.
    const std::uint64_t seed = engine();
    SplitMixSource original_random(seed);
    SplitMixSource rebuilt_random(seed);
    std::mt19937_64 original_data(seed);
    std::mt19937_64 rebuilt_data(seed);
    insert_nodes(original, 100, original_data, original_random);
    insert_nodes(*rebuilt, 100, rebuilt_data, rebuilt_random);
    expect_same_parts(parts_of(original), parts_of(*rebuilt));
    expect_same_searches(original, *rebuilt, engine);
  }
}

TEST(HNSWParts, EmptyAndUnlinkedIndexesRoundTrip) {
  HNSWParams no_layers = small_params(MetricKind::Euclidean);
  no_layers.layers = 0;
  no_layers.schema.reset();
  HNSW unlinked(no_layers);
  SplitMixSource rng(3);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(unlinked.insert(std::vector<double>(kDim, i), nullptr, rng));
  }
  auto rebuilt = HNSW::from_parts(parts_of(unlinked));
  ASSERT_TRUE(rebuilt) << rebuilt.error().reason;
  expect_same_parts(parts_of(unlinked), parts_of(*rebuilt));
  HNSWParts empty_parts;
  empty_parts.params = small_params(MetricKind::Cosine);
  empty_parts.neighbor_offsets = {0};
  auto empty = HNSW::from_parts(std::move(empty_parts));
  ASSERT_TRUE(empty) << empty.error().reason;
  EXPECT_EQ(empty->size(), 0u);
}

// Node 1's only neighbour is node 0, which lists it before node 2, whose
// other neighbour comes later: the check that each list links back must not
// take node 1's single mark for a repeat and leave node 2 unmarked.
TEST(HNSWParts, NodeListedOnlyOnceBeforeOthersRoundTrips) {
  HNSWParts parts;
  parts.params = small_params(MetricKind::Euclidean);
  parts.params.layers = 2;
  parts.params.schema.reset();
  parts.count = 4;
  parts.vectors.assign(4 * kDim, 0.5);
  parts.levels = {1, 0, 0, 0};
  parts.neighbor_offsets = {0, 2, 3, 5, 6};
  parts.neighbor_ids = {1, 2, 0, 0, 3, 2};
  parts.records.resize(4);
  auto rebuilt = HNSW::from_parts(parts);
  ASSERT_TRUE(rebuilt) << rebuilt.error().reason;
  expect_same_parts(parts, parts_of(*rebuilt));
}

// A small valid graph's parts, for the rejection cases to break one by one.
HNSWParts valid_parts() {
  std::mt19937_64 engine(1);
  SplitMixSource rng(2);
  HNSW graph(small_params(MetricKind::Euclidean));
  insert_nodes(graph, 40, engine, rng);
  return parts_of(graph);
}

// The first node with at least two neighbours.
std::uint64_t busy_node(const HNSWParts& parts) {
  for (std::uint64_t node = 0;; ++node) {
    if (parts.neighbor_offsets[node + 1] - parts.neighbor_offsets[node] >= 2) {
      return node;
    }
  }
}

void drop_first_link(HNSWParts& parts, std::uint64_t node) {
  parts.neighbor_ids.erase(parts.neighbor_ids.begin() +
                           static_cast<std::ptrdiff_t>(parts.neighbor_offsets[node]));
  for (std::uint64_t later = node + 1; later <= parts.count; ++later) {
    --parts.neighbor_offsets[later];
  }
}

struct Breakage {
  const char* expected_reason;  // a phrase the reason must contain
  std::function<void(HNSWParts&)> apply;
};

TEST(HNSWParts, InconsistentPartsAreRefusedWithAReason) {
  constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
  const std::vector<Breakage> breakages = {
      {"unknown metric kind 7", [](HNSWParts& p) { p.params.metric = static_cast<MetricKind>(7); }},
      {"4294967297 nodes exceed",
       [](HNSWParts& p) {
         p.count = HNSW::kMaxNodes + 1;
         p.params.dim = 0;
       }},
      {"201 given", [](HNSWParts& p) { p.vectors.push_back(1.0); }},
      {"need count * dim",
       [](HNSWParts& p) {
         p.count = std::uint64_t{1} << 31;
         p.params.dim = kMaxU64 / 2;
       }},
      {"levels: 39 entries for 40", [](HNSWParts& p) { p.levels.pop_back(); }},
      {"records: 41 entries for 40", [](HNSWParts& p) { p.records.emplace_back(); }},
      {"neighbor offsets: 40 entries for 41", [](HNSWParts& p) { p.neighbor_offsets.pop_back(); }},
      {"start at 1", [](HNSWParts& p) { p.neighbor_offsets[0] = 1; }},
      {"decrease after node 4", [](HNSWParts& p) { p.neighbor_offsets[5] = 0; }},
      {"but 1 neighbor ids",
       [](HNSWParts& p) {
         p.neighbor_ids.resize(1);
         for (std::uint64_t& offset : p.neighbor_offsets)
           offset = std::min<std::uint64_t>(offset, 2);
       }},
      {"node 0 has level 0", [](HNSWParts& p) { p.levels[0] = 0; }},
      {"node 9 has level 7", [](HNSWParts& p) { p.levels[9] = 7; }},
      {"record of 1 values for a schema of 2",
       [](HNSWParts& p) { p.records[3] = MetadataRecord{Metadata::Int(1)}; }},
      {"for a schema of 0 names", [](HNSWParts& p) { p.params.schema.reset(); }},
      {"links to node 40 of 40",
       [](HNSWParts& p) { p.neighbor_ids[p.neighbor_offsets[busy_node(p)]] = 40; }},
      {"links to itself",
       [](HNSWParts& p) {
         const std::uint64_t node = busy_node(p);
         p.neighbor_ids[p.neighbor_offsets[node]] = static_cast<std::uint32_t>(node);
       }},
      {"twice",
       [](HNSWParts& p) {
         const std::uint64_t first = p.neighbor_offsets[busy_node(p)];
         p.neighbor_ids[first + 1] = p.neighbor_ids[first];
       }},
      {"does not link back", [](HNSWParts& p) { drop_first_link(p, busy_node(p)); }},
      {"has links though the index has 0 layers",
       [](HNSWParts& p) {
         p.params.layers = 0;
         for (std::uint64_t& level : p.levels) level = kMaxU64;
       }},
  };
  for (const Breakage& breakage : breakages) {
    HNSWParts parts = valid_parts();
    breakage.apply(parts);
    const auto rebuilt = HNSW::from_parts(std::move(parts));
    ASSERT_FALSE(rebuilt) << breakage.expected_reason;
    EXPECT_NE(rebuilt.error().reason.find(breakage.expected_reason), std::string::npos)
        << rebuilt.error().reason;
  }
}

FlatParts parts_of(const FlatIndex& index) {
  return FlatParts{index.dim(), index.metric(), index.size(),
                   std::vector<double>(index.vectors().begin(), index.vectors().end())};
}

TEST(FlatParts, RebuiltIndexMatchesTheOriginalNowAndAfterInsertions) {
  for (const MetricKind metric : kAllMetrics) {
    std::mt19937_64 engine(static_cast<std::uint64_t>(metric) + 3);
    FlatIndex original(kDim, metric);
    for (int i = 0; i < 200; ++i) {
      original.insert(make_vector(engine, kDim, DataKind::WithNaN));
    }
    const FlatParts parts = parts_of(original);
    auto rebuilt = FlatIndex::from_parts(parts);
    ASSERT_TRUE(rebuilt) << rebuilt.error().reason;
    EXPECT_EQ(bits_of(rebuilt->vectors()), bits_of(parts.vectors));
    EXPECT_EQ(rebuilt->size(), parts.count);
    for (int round = 0; round < 2; ++round) {
      for (int query_index = 0; query_index < 10; ++query_index) {
        const std::vector<double> query = make_vector(engine, kDim, DataKind::Real);
        const auto expected = original.search(query, 9);
        const auto actual = rebuilt->search(query, 9);
        ASSERT_TRUE(expected && actual);
        EXPECT_TRUE(same_hits(*expected, *actual));
      }
      const std::vector<double> more = make_vector(engine, kDim, DataKind::Real);
      original.insert(more);
      rebuilt->insert(more);
    }
  }
}

TEST(FlatParts, InconsistentPartsAreRefusedWithAReason) {
  const auto refused = [](FlatParts parts, const std::string& phrase) {
    const auto rebuilt = FlatIndex::from_parts(std::move(parts));
    ASSERT_FALSE(rebuilt) << phrase;
    EXPECT_NE(rebuilt.error().reason.find(phrase), std::string::npos) << rebuilt.error().reason;
  };
  refused(FlatParts{2, static_cast<MetricKind>(9), 0, {}}, "unknown metric kind 9");
  refused(FlatParts{2, MetricKind::Cosine, 3, {1, 2, 3, 4, 5}}, "need 6 components, 5 given");
  refused(FlatParts{std::uint64_t{1} << 40, MetricKind::Cosine, std::uint64_t{1} << 40, {}},
          "overflow 64 bits");
  refused(FlatParts{0, MetricKind::Euclidean, FlatIndex::kMaxCountWithoutComponents + 1, {}},
          "vectors of dimension 0 exceed");
  const auto zero_dim = FlatIndex::from_parts(FlatParts{0, MetricKind::Euclidean, 5, {}});
  ASSERT_TRUE(zero_dim);
  EXPECT_EQ(zero_dim->size(), 5u);
}

}  // namespace
}  // namespace halqen
