// The partition index against a plain model: the same ids and exact
// values as scoring every live vector, to the bit, when every partition is
// scanned and every candidate scored, through adds, removals, slots used
// again and a training again after growth, for every metric; and recall on
// clustered data when only a few partitions are scanned, for an index
// grown from a tenth as for one built at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "graph/exact_distances.hpp"
#include "metrics/metrics.hpp"
#include "partition/partition_index.hpp"
#include "schedules.hpp"

namespace halqen::partition {
namespace {

constexpr std::size_t kDim = 10;

std::vector<double> clustered(std::size_t count, std::mt19937_64& rng) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> centres(40 * kDim);
  std::mt19937_64 fixed(99);
  for (double& x : centres) x = 6.0 * normal(fixed);
  std::vector<double> rows(count * kDim);
  for (std::size_t row = 0; row < count; ++row) {
    const std::size_t c = rng() % 40;
    for (std::size_t d = 0; d < kDim; ++d)
      rows[row * kDim + d] = centres[c * kDim + d] + normal(rng);
  }
  return rows;
}

// The model: every live vector scored, nearest first, ties to the lower id.
std::vector<PartitionFound> exact_answer(MetricKind metric,
                                         const std::map<std::uint64_t, std::vector<double>>& held,
                                         std::span<const double> query, std::size_t k) {
  std::vector<PartitionFound> all;
  for (const auto& [id, row] : held) all.push_back({id, metric_function(metric)(query, row)});
  const bool larger_nearer = metric != MetricKind::Euclidean;
  std::ranges::stable_sort(all, [&](const PartitionFound& a, const PartitionFound& b) {
    return larger_nearer ? a.value > b.value : a.value < b.value;
  });
  all.resize(std::min(k, all.size()));
  return all;
}

class EveryMetric : public ::testing::TestWithParam<MetricKind> {};

TEST_P(EveryMetric, FullWidthIsTheExactAnswerThroughChanges) {
  const MetricKind metric = GetParam();
  std::mt19937_64 rng(static_cast<unsigned>(metric) + 1);
  PartitionIndex index({.dim = kDim, .metric = metric, .seed = 3});
  std::map<std::uint64_t, std::vector<double>> held;
  std::uint64_t next_id = 0;
  const auto add = [&](std::size_t count) {
    const std::vector<double> rows = clustered(count, rng);
    std::vector<std::uint64_t> ids;
    for (std::size_t i = 0; i < count; ++i) {
      ids.push_back(next_id);
      held[next_id++] = {rows.begin() + i * kDim, rows.begin() + (i + 1) * kDim};
    }
    index.add(rows, ids);
  };
  const auto remove = [&](std::size_t count) {
    std::vector<std::uint64_t> gone;
    for (const auto& [id, row] : held) {
      if (gone.size() < count && rng() % 3 == 0) gone.push_back(id);
    }
    for (const std::uint64_t id : gone) held.erase(id);
    index.remove(gone);
  };
  const auto check = [&](const char* stage) {
    SCOPED_TRACE(stage);
    ASSERT_EQ(index.size(), held.size());
    const ScanWidth everything{.probes = ~std::size_t{0}, .reorder = held.size()};
    for (int q = 0; q < 20; ++q) {
      const std::vector<double> query = clustered(1, rng);
      const auto found = index.search(query, 10, everything);
      const auto expected = exact_answer(metric, held, query, 10);
      ASSERT_EQ(found.size(), expected.size());
      for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].id, expected[i].id) << "rank " << i;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(found[i].value),
                  std::bit_cast<std::uint64_t>(expected[i].value))
            << "rank " << i;
      }
    }
  };
  add(1000);
  check("untrained");
  add(4000);
  ASSERT_TRUE(index.trained());
  const std::size_t first_partitions = index.partitions();
  check("trained");
  remove(600);
  add(300);  // into freed slots
  check("after removals and reuse");
  add(16000);
  EXPECT_NE(index.partitions(), first_partitions);  // trained again after growing
  check("grown");
}

INSTANTIATE_TEST_SUITE_P(PartitionIndex, EveryMetric,
                         ::testing::Values(MetricKind::Euclidean, MetricKind::Cosine,
                                           MetricKind::InnerProduct));

// recall@10 of a search scanning a few partitions.
double recall(const PartitionIndex& index, const std::vector<double>& rows,
              const std::vector<double>& queries, ScanWidth width) {
  std::map<std::uint64_t, std::vector<double>> held;
  for (std::size_t i = 0; i < rows.size() / kDim; ++i) {
    held[i] = {rows.begin() + i * kDim, rows.begin() + (i + 1) * kDim};
  }
  std::size_t hits = 0;
  const std::size_t count = queries.size() / kDim;
  for (std::size_t q = 0; q < count; ++q) {
    const std::span<const double> query(&queries[q * kDim], kDim);
    std::set<std::uint64_t> truth;
    for (const auto& f : exact_answer(MetricKind::Euclidean, held, query, 10)) truth.insert(f.id);
    for (const auto& f : index.search(query, 10, width)) hits += truth.count(f.id);
  }
  return static_cast<double>(hits) / static_cast<double>(10 * count);
}

TEST(PartitionIndex, AnIndexGrownTenfoldFindsWhatOneBuiltAtOnceFinds) {
  std::mt19937_64 rng(21);
  const std::vector<double> rows = clustered(40000, rng);
  const std::vector<double> queries = clustered(200, rng);
  std::vector<std::uint64_t> ids(40000);
  std::iota(ids.begin(), ids.end(), 0);
  PartitionIndex at_once({.dim = kDim, .metric = MetricKind::Euclidean, .seed = 1});
  at_once.add(rows, ids);
  PartitionIndex grown({.dim = kDim, .metric = MetricKind::Euclidean, .seed = 1});
  for (std::size_t first = 0; first < 40000; first += 4000) {
    grown.add(std::span(rows).subspan(first * kDim, 4000 * kDim),
              std::span(ids).subspan(first, 4000));
  }
  const ScanWidth width{.probes = 12, .reorder = 100};
  const double built = recall(at_once, rows, queries, width);
  EXPECT_GE(built, 0.95);
  EXPECT_GE(recall(grown, rows, queries, width), built - 0.01);
}

// The same calls give the same answers whether training and placing run
// on one thread or on two, their pieces taken last first.
TEST(PartitionIndex, TheSameAnswersOnAnySchedule) {
  std::mt19937_64 rng(31);
  const std::vector<double> rows = clustered(12000, rng);
  const std::vector<double> queries = clustered(50, rng);
  std::vector<std::uint64_t> ids(12000);
  std::iota(ids.begin(), ids.end(), 0);
  PartitionIndex alone({.dim = kDim, .metric = MetricKind::Cosine, .seed = 4});
  PartitionIndex shared({.dim = kDim, .metric = MetricKind::Cosine, .seed = 4});
  alone.add(rows, ids);
  shared.add(rows, ids, backwards_on_two_threads);
  for (std::size_t q = 0; q < 50; ++q) {
    const std::span<const double> query(&queries[q * kDim], kDim);
    const auto a = alone.search(query, 10, {.probes = 3, .reorder = 20});
    const auto b = shared.search(query, 10, {.probes = 3, .reorder = 20});
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].id, b[i].id) << "query " << q;
  }
}

}  // namespace
}  // namespace halqen::partition
