// Build and search timings; disabled by default (run with
// --gtest_also_run_disabled_tests --gtest_filter='*HnswBench*').
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw/hnsw_inspect.hpp"
#include "test_hnsw_support.hpp"

namespace halqen::testing {
namespace {

constexpr std::uint64_t kDim = 128;
constexpr std::uint64_t kDefaultNodes = 5000;
constexpr int kQueries = 200;

std::uint64_t node_count() {
  const char* text = std::getenv("HALQEN_BENCH_NODES");
  return text != nullptr ? std::strtoull(text, nullptr, 10) : kDefaultNodes;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(HnswBench, DISABLED_BuildDefaults) {
  const std::uint64_t nodes = node_count();
  std::mt19937_64 engine(42);
  std::vector<std::vector<double>> vectors;
  for (std::uint64_t i = 0; i < nodes; ++i) {
    vectors.push_back(make_vector(engine, kDim, DataKind::Real));
  }
  HNSW graph(HNSWParams{.dim = kDim, .schema = std::nullopt});
  SplitMixSource rng(7);
  const auto build_start = std::chrono::steady_clock::now();
  ASSERT_TRUE(graph.create(vectors, {}, rng));
  const double build_seconds = seconds_since(build_start);
  std::uint64_t links = 0;
  std::uint64_t layer_entries = 0;
  for (std::uint64_t node = 0; node < graph.size(); ++node) {
    links += graph.neighbors(node).size();
    layer_entries += HNSWInspect::sub_list_entries(graph, node);
  }
  const auto search_start = std::chrono::steady_clock::now();
  for (int i = 0; i < kQueries; ++i) {
    const std::vector<double> query = make_vector(engine, kDim, DataKind::Real);
    ASSERT_TRUE(graph.search(query, 10, nullptr));
  }
  const double search_seconds = seconds_since(search_start);
  std::cout << "nodes " << nodes << " build " << build_seconds << " s, links " << links << " (+"
            << layer_entries << " in layer sub-lists), search " << search_seconds / kQueries * 1e6
            << " us/query, graph " << static_cast<double>(HNSWInspect::graph_bytes(graph)) / nodes
            << " bytes/node (" << static_cast<double>(HNSWInspect::graph_bytes(graph)) / links
            << " per link)\n";
}

}  // namespace
}  // namespace halqen::testing
