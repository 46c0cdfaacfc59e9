// The graph against the literal reference: same levels, same lists (up to
// repeats and self-links), same results bit for bit, on many configurations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw/hnsw_inspect.hpp"
#include "stop_after.hpp"
#include "test_hnsw_reference.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {
namespace {

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

enum class SchemaKind { Absent, Empty, Present };

struct Scenario {
  MetricKind metric;
  std::uint64_t layers;
  std::uint64_t ef_construction;
  std::uint64_t ef_search;
  std::uint64_t dim;
  DataKind data;
  SchemaKind schema;
  std::uint64_t nodes;
  std::uint64_t seed;
  std::vector<std::uint64_t> level_script = {};  // empty: natural draws
};

std::string describe(const Scenario& s) {
  return "metric " + std::to_string(static_cast<int>(s.metric)) + " layers " +
         std::to_string(s.layers) + " efc " + std::to_string(s.ef_construction) + " efs " +
         std::to_string(s.ef_search) + " dim " + std::to_string(s.dim) + " data " +
         std::to_string(static_cast<int>(s.data)) + " schema " +
         std::to_string(static_cast<int>(s.schema)) + " seed " + std::to_string(s.seed);
}

std::optional<Schema> make_schema(SchemaKind kind) {
  switch (kind) {
    case SchemaKind::Absent:
      return std::nullopt;
    case SchemaKind::Empty:
      return Schema{};
    case SchemaKind::Present:
      return Schema{"color", "size", "color"};
  }
  return std::nullopt;
}

Metadata color_value(std::mt19937_64& engine) {
  static const char* const kColors[] = {"red", "blue", "green"};
  if (engine() % 4 == 0) {
    return Metadata::Int(static_cast<std::int64_t>(engine() % 2));
  }
  return Metadata::String(kColors[engine() % 3]);
}

Metadata size_value(std::mt19937_64& engine) {
  static const double kSizes[] = {0.0, -0.0, 1.5, std::nan("")};
  if (engine() % 4 == 0) {
    return Metadata::Int(0);
  }
  return Metadata::Float(kSizes[engine() % 4]);
}

// A record for most nodes; some get none (the index accepts that).
std::optional<MetadataRecord> make_record(std::mt19937_64& engine, const std::optional<Schema>& s) {
  if (!s || engine() % 4 == 0) {
    return std::nullopt;
  }
  if (s->empty()) {
    return MetadataRecord{};
  }
  const Metadata color = color_value(engine);
  return MetadataRecord{color, size_value(engine), color};
}

std::vector<Filter> make_filters() {
  return {
      equality_filter("color", Metadata::String("red")),
      equality_filter("color", Metadata::String("blue")),
      equality_filter("color", Metadata::Int(1)),
      equality_filter("size", Metadata::Float(0.0)),
      equality_filter("size", Metadata::Float(-0.0)),
      equality_filter("size", Metadata::Float(std::nan(""))),
      equality_filter("size", Metadata::Int(0)),
      equality_filter("Color", Metadata::String("red")),
  };
}

std::vector<double> make_query(std::mt19937_64& engine, const Scenario& s) {
  const std::uint64_t length = engine() % 5 == 0 ? s.dim + engine() % 3 : s.dim;
  return make_vector(engine, length == 0 && engine() % 2 ? 1 : length, s.data);
}

void expect_same_graph(const HNSW& graph, const ReferenceHNSW& reference,
                       const std::string& where) {
  ASSERT_EQ(graph.size(), reference.size()) << where;
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    ASSERT_EQ(graph.level(node), reference.level(node)) << where << " node " << node;
    const std::vector<std::uint32_t> actual = graph.neighbors(node);
    ASSERT_EQ(actual, without_repeats(reference.list(node), node)) << where << " node " << node;
  }
}

template <typename Result>
void expect_same_result(const Result& actual, const Result& expected, const std::string& where) {
  ASSERT_EQ(actual.has_value(), expected.has_value()) << where;
  if (!actual) {
    ASSERT_EQ(actual.error(), expected.error()) << where;
    return;
  }
  ASSERT_TRUE(same_hits(*actual, *expected)) << where;
}

void check_queries(const HNSW& graph, const ReferenceHNSW& reference, const Scenario& s,
                   std::mt19937_64& engine) {
  const std::vector<Filter> filters = make_filters();
  const std::uint64_t ks[] = {0, 1, 3, 10, kHuge};
  for (int query_index = 0; query_index < 12; ++query_index) {
    const std::vector<double> query = make_query(engine, s);
    const std::uint64_t k = ks[engine() % std::size(ks)];
    const bool filtered = engine() % 2 == 0;
    const Filter* filter = filtered ? &filters[engine() % filters.size()] : nullptr;
    const std::string where = describe(s) + " query " + std::to_string(query_index);
    expect_same_result(graph.search(query, k, filter), reference.search(query, k, filter), where);
    if (graph.size() == 0) {
      continue;
    }
    const std::uint64_t seed = engine() % graph.size();
    const std::uint64_t efs[] = {0, 1, 2, 5, 40, kHuge};
    const std::uint64_t ef = efs[engine() % std::size(efs)];
    const std::uint64_t layer = engine() % (s.layers + 2);
    expect_same_result(HNSWInspect::layer_search(graph, seed, query, ef, layer, filter),
                       reference.knn(seed, query, ef, layer, filter), where + " knn");
  }
}

std::unique_ptr<RandomSource> make_source(const Scenario& s) {
  if (s.level_script.empty()) {
    return std::make_unique<SplitMixSource>(s.seed);
  }
  return std::make_unique<LevelScriptSource>(s.layers, s.level_script, s.seed);
}

void run_scenario(const Scenario& s) {
  HNSWParams params{
      s.dim, s.layers, 16, s.ef_construction, s.ef_search, s.metric, make_schema(s.schema)};
  HNSW graph(params);
  ReferenceHNSW reference(params);
  const std::unique_ptr<RandomSource> graph_source = make_source(s);
  const std::unique_ptr<RandomSource> reference_source = make_source(s);
  RandomSource& graph_rng = *graph_source;
  RandomSource& reference_rng = *reference_source;
  std::mt19937_64 engine(s.seed);
  std::vector<std::vector<double>> stored;
  for (std::uint64_t i = 0; i < s.nodes; ++i) {
    const bool duplicate = !stored.empty() && engine() % 8 == 0;
    std::vector<double> vector =
        duplicate ? stored[engine() % stored.size()] : make_vector(engine, s.dim, s.data);
    stored.push_back(vector);
    const std::optional<MetadataRecord> record = make_record(engine, params.schema);
    const MetadataRecord* record_pointer = record ? &*record : nullptr;
    const auto actual = graph.insert(vector, record_pointer, graph_rng);
    const auto expected = reference.insert(vector, record_pointer, reference_rng);
    const std::string where = describe(s) + " insert " + std::to_string(i);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << where;
    if (!actual) {
      ASSERT_EQ(actual.error(), expected.error()) << where;
    }
  }
  expect_same_graph(graph, reference, describe(s));
  check_queries(graph, reference, s, engine);
}

TEST(HnswDifferential, MatchesReferenceAcrossConfigurations) {
  const MetricKind metrics[] = {MetricKind::Euclidean, MetricKind::Cosine,
                                MetricKind::InnerProduct};
  const std::uint64_t layer_counts[] = {0, 1, 3, 5, 12};
  const std::uint64_t ef_constructions[] = {1, 4, 200, kHuge};
  const std::uint64_t ef_searches[] = {1, 7, 50, kHuge};
  const DataKind kinds[] = {DataKind::Real, DataKind::SmallIntegers, DataKind::WithNaN,
                            DataKind::WithZeros};
  const SchemaKind schemas[] = {SchemaKind::Present, SchemaKind::Absent, SchemaKind::Empty};
  std::uint64_t seed = 1;
  for (const MetricKind metric : metrics) {
    for (const std::uint64_t layers : layer_counts) {
      for (const std::uint64_t ef_construction : ef_constructions) {
        for (const DataKind kind : kinds) {
          const Scenario scenario{metric,
                                  layers,
                                  ef_construction,
                                  ef_searches[seed % std::size(ef_searches)],
                                  1 + seed % 6,
                                  kind,
                                  schemas[seed % std::size(schemas)],
                                  40 + seed % 50,
                                  seed};
          ++seed;
          run_scenario(scenario);
          if (HasFatalFailure()) {
            return;
          }
        }
      }
    }
  }
}

TEST(HnswDifferential, ZeroDimensionAndZeroWidth) {
  for (const std::uint64_t ef_construction : {std::uint64_t{0}, std::uint64_t{3}}) {
    for (const std::uint64_t layers : {std::uint64_t{1}, std::uint64_t{4}}) {
      run_scenario({MetricKind::Euclidean, layers, ef_construction, 5, 0, DataKind::Real,
                    SchemaKind::Present, 30, 900 + layers + ef_construction});
      run_scenario({MetricKind::Cosine, layers, ef_construction, 0, 2, DataKind::Real,
                    SchemaKind::Present, 30, 950 + layers + ef_construction});
    }
  }
}

// Many layers: most are above every drawn level, where the graph skips
// layer searches that cannot change anything.
TEST(HnswDifferential, ManyLayersSkipIdleLayers) {
  std::uint64_t seed = 5000;
  for (const std::uint64_t layers : {std::uint64_t{9}, std::uint64_t{40}, std::uint64_t{64}}) {
    for (const MetricKind metric : {MetricKind::Euclidean, MetricKind::InnerProduct}) {
      for (const DataKind kind : {DataKind::Real, DataKind::SmallIntegers}) {
        run_scenario({metric, layers, 6, 9, 3, kind, SchemaKind::Present, 150, seed++});
        if (HasFatalFailure()) {
          return;
        }
      }
    }
  }
}

// Levels with gaps between them: layer searches in a gap follow the same
// nodes, which the graph exploits to skip repeats.
TEST(HnswDifferential, GappedLevelsSkipRepeatedLayers) {
  const std::vector<std::vector<std::uint64_t>> scripts = {
      {0, 3}, {0, 0, 0, 2, 5}, {0, 1, 4, 8}, {3}, {0, 7}};
  const std::uint64_t layer_counts[] = {6, 9, 12, 9, 30};
  std::uint64_t seed = 7000;
  for (std::size_t i = 0; i < scripts.size(); ++i) {
    for (const std::uint64_t ef_construction :
         {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{5}, std::uint64_t{40}}) {
      for (const DataKind kind : {DataKind::Real, DataKind::SmallIntegers}) {
        Scenario scenario{MetricKind::Euclidean,
                          layer_counts[i],
                          ef_construction,
                          4,
                          3,
                          kind,
                          SchemaKind::Present,
                          120,
                          seed++};
        scenario.level_script = scripts[i];
        run_scenario(scenario);
        if (HasFatalFailure()) {
          return;
        }
      }
    }
  }
}

// Larger, realistic builds with the default widths.
TEST(HnswDifferential, DefaultWidthsLargerGraph) {
  run_scenario(
      {MetricKind::Euclidean, 5, 200, 50, 8, DataKind::Real, SchemaKind::Present, 400, 77});
  run_scenario(
      {MetricKind::Cosine, 5, 20, 10, 4, DataKind::SmallIntegers, SchemaKind::Present, 400, 78});
}

TEST(HnswDifferential, CreateMatchesReference) {
  HNSWParams params{3, 4, 16, 5, 7, MetricKind::Euclidean, Schema{"color", "size", "color"}};
  HNSW graph(params);
  ReferenceHNSW reference(params);
  SplitMixSource graph_rng(11);
  SplitMixSource reference_rng(11);
  std::mt19937_64 engine(11);
  std::vector<std::vector<double>> vectors;
  std::vector<MetadataRecord> records;
  for (int i = 0; i < 60; ++i) {
    vectors.push_back(make_vector(engine, 3, DataKind::SmallIntegers));
    const Metadata color = color_value(engine);
    records.push_back({color, size_value(engine), color});
  }
  ASSERT_TRUE(graph.create(vectors, records, graph_rng));
  ASSERT_TRUE(reference.create(vectors, records, reference_rng));
  expect_same_graph(graph, reference, "create");
  const Scenario s{MetricKind::Euclidean, 4,  5, 7, 3, DataKind::SmallIntegers,
                   SchemaKind::Present,   60, 11};
  check_queries(graph, reference, s, engine);
}

VectorBlock block_of(const std::vector<std::vector<double>>& vectors) {
  VectorBlock block;
  for (const std::vector<double>& vector : vectors) {
    block.values.insert(block.values.end(), vector.begin(), vector.end());
  }
  block.count = vectors.size();
  return block;
}

// A bulk insertion stopped by its interrupt keeps exactly the nodes inserted
// before, each complete: the graph equals the reference filled with that
// prefix alone, into an empty index (which takes the block's buffer) and
// into one that already holds nodes, and both go on alike afterwards.
TEST(HnswDifferential, InterruptedBulkInsertionKeepsAPrefix) {
  const Scenario s{MetricKind::Euclidean, 4,  5, 7, 3, DataKind::SmallIntegers,
                   SchemaKind::Present,   60, 21};
  for (const std::uint64_t before : {0, 5}) {
    for (const bool with_records : {true, false}) {
      const std::string where =
          "before " + std::to_string(before) + (with_records ? " create" : " insert_block");
      HNSWParams params{s.dim,
                        s.layers,
                        16,
                        s.ef_construction,
                        s.ef_search,
                        s.metric,
                        Schema{"color", "size", "color"}};
      HNSW graph(params);
      ReferenceHNSW reference(params);
      SplitMixSource graph_rng(s.seed);
      SplitMixSource reference_rng(s.seed);
      std::mt19937_64 engine(s.seed);
      std::vector<std::vector<double>> vectors;
      std::vector<MetadataRecord> records;
      for (std::uint64_t i = 0; i < s.nodes; ++i) {
        vectors.push_back(make_vector(engine, s.dim, s.data));
        const Metadata color = color_value(engine);
        records.push_back({color, size_value(engine), color});
      }
      for (std::uint64_t i = 0; i < before; ++i) {
        ASSERT_TRUE(graph.insert(vectors[i], &records[i], graph_rng));
        ASSERT_TRUE(reference.insert(vectors[i], &records[i], reference_rng));
      }
      const std::uint64_t passing = 25;
      StopAfter stop(passing);
      const std::vector<std::vector<double>> rest(vectors.begin() + before, vectors.end());
      const std::span<const MetadataRecord> rest_records =
          std::span<const MetadataRecord>(records).subspan(before);
      const auto stopped = with_records
                               ? graph.create(block_of(rest), rest_records, graph_rng, stop)
                               : graph.insert_block(block_of(rest), graph_rng, stop);
      ASSERT_FALSE(stopped.has_value()) << where;
      EXPECT_EQ(stopped.error(), HNSWError::Interrupted) << where;
      ASSERT_EQ(graph.size(), before + passing) << where;
      ASSERT_EQ(graph.vectors().size(), graph.size() * s.dim) << where;
      for (std::uint64_t i = before; i < before + passing; ++i) {
        ASSERT_TRUE(
            reference.insert(vectors[i], with_records ? &records[i] : nullptr, reference_rng));
        const VectorView stored = graph.vector(i);
        ASSERT_EQ(std::vector<double>(stored.begin(), stored.end()), vectors[i]) << where;
      }
      expect_same_graph(graph, reference, where);
      check_queries(graph, reference, s, engine);
      ASSERT_TRUE(graph.insert(vectors.back(), &records.back(), graph_rng));
      ASSERT_TRUE(reference.insert(vectors.back(), &records.back(), reference_rng));
      expect_same_graph(graph, reference, where + " then insert");
    }
  }
}

TEST(HnswDifferential, BulkInsertionMatchesReference) {
  const Scenario s{MetricKind::Cosine, 5, 8, 6, 4, DataKind::Real, SchemaKind::Present, 80, 22};
  HNSWParams params{
      s.dim, s.layers, 16, s.ef_construction, s.ef_search, s.metric, make_schema(s.schema)};
  HNSW graph(params);
  ReferenceHNSW reference(params);
  SplitMixSource graph_rng(s.seed);
  SplitMixSource reference_rng(s.seed);
  std::mt19937_64 engine(s.seed);
  std::vector<std::vector<double>> vectors;
  for (std::uint64_t i = 0; i < s.nodes; ++i) {
    vectors.push_back(make_vector(engine, s.dim, s.data));
  }
  NeverInterrupt never;
  ASSERT_TRUE(graph.insert_block(block_of(vectors), graph_rng, never));
  for (const std::vector<double>& vector : vectors) {
    ASSERT_TRUE(reference.insert(vector, nullptr, reference_rng));
  }
  expect_same_graph(graph, reference, "insert_block");
  check_queries(graph, reference, s, engine);
}

}  // namespace
}  // namespace halqen::testing
