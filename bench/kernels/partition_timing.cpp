// A first look at the partition index's core: its build time on the threads asked for,
// and recall@10 against queries/s at a few scan widths, on clustered angular
// data held out from the queries. Not a test: it prints figures.
//
// Usage: partition_timing [vectors] [dim] [queries] [build threads]; built against the
// development build's libraries by bench/kernels/partition_timing.sh.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/job_runner.hpp"
#include "metrics/metrics.hpp"
#include "partition/partition_index.hpp"

namespace {

using halqen::MetricKind;
using halqen::partition::PartitionIndex;
using halqen::partition::ScanWidth;

constexpr std::size_t kClusters = 500;
constexpr std::size_t kNeighbours = 10;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Clusters of unequal spread around random centres.
std::vector<double> clustered(std::size_t count, std::size_t dim, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::mt19937_64 fixed(7);
  std::vector<double> centres(kClusters * dim);
  std::vector<double> spreads(kClusters);
  for (double& x : centres) x = normal(fixed);
  for (double& s : spreads) s = 0.3 + 0.9 * std::uniform_real_distribution<double>(0, 1)(fixed);
  std::vector<double> rows(count * dim);
  for (std::size_t row = 0; row < count; ++row) {
    const std::size_t c = rng() % kClusters;
    for (std::size_t d = 0; d < dim; ++d) {
      rows[row * dim + d] = centres[c * dim + d] + spreads[c] * normal(rng);
    }
  }
  return rows;
}

std::vector<std::set<std::uint64_t>> truth(const std::vector<double>& rows,
                                           const std::vector<double>& queries, std::size_t dim) {
  const std::size_t count = rows.size() / dim;
  std::vector<std::set<std::uint64_t>> nearest;
  std::vector<std::pair<double, std::uint64_t>> scored(count);
  for (std::size_t q = 0; q < queries.size() / dim; ++q) {
    const std::span<const double> query(&queries[q * dim], dim);
    for (std::size_t i = 0; i < count; ++i) {
      scored[i] = {-halqen::cosine_similarity(query, {&rows[i * dim], dim}), i};
    }
    std::partial_sort(scored.begin(), scored.begin() + kNeighbours, scored.end());
    std::set<std::uint64_t> ids;
    for (std::size_t i = 0; i < kNeighbours; ++i) ids.insert(scored[i].second);
    nearest.push_back(std::move(ids));
  }
  return nearest;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::stoul(argv[1]) : 100'000;
  const std::size_t dim = argc > 2 ? std::stoul(argv[2]) : 50;
  const std::size_t query_count = argc > 3 ? std::stoul(argv[3]) : 500;
  std::mt19937_64 rng(1);
  const std::vector<double> rows = clustered(count, dim, rng);
  const std::vector<double> queries = clustered(query_count, dim, rng);
  std::vector<std::uint64_t> ids(count);
  std::iota(ids.begin(), ids.end(), 0);
  const std::size_t threads = argc > 4 ? std::stoul(argv[4]) : 1;
  PartitionIndex index =
      PartitionIndex::create({.dim = dim, .metric = MetricKind::Cosine, .seed = 1}).value();
  halqen::NeverInterrupt never;
  halqen::graph::ThreadRunner runner(threads, never);
  const auto started = std::chrono::steady_clock::now();
  if (!index.add(rows, ids, runner)) return 1;
  std::printf("partition index %zu x %zu angular: %zu partitions, built in %.1f s\n", count, dim,
              index.partitions(), seconds_since(started));
  const auto expected = truth(rows, queries, dim);
  for (const std::size_t probes : {2, 4, 8, 16, 32, 64}) {
    for (const std::size_t reorder : {50, 100, 200, 400}) {
      std::size_t hits = 0;
      const auto begun = std::chrono::steady_clock::now();
      for (std::size_t q = 0; q < query_count; ++q) {
        const auto found = index.search({&queries[q * dim], dim}, kNeighbours,
                                        ScanWidth{.probes = probes, .reorder = reorder});
        for (const auto& hit : found) hits += expected[q].count(hit.id);
      }
      const double elapsed = seconds_since(begun);
      std::printf("  probes %3zu reorder %4zu  recall@10 %.3f  %8.0f queries/s\n", probes, reorder,
                  static_cast<double>(hits) / static_cast<double>(kNeighbours * query_count),
                  static_cast<double>(query_count) / elapsed);
    }
  }
  return 0;
}
