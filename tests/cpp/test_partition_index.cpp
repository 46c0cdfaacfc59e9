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
#include <optional>
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
  PartitionIndex index = PartitionIndex::create({.dim = kDim, .metric = metric, .seed = 3}).value();
  ScheduleRunner runner;
  std::map<std::uint64_t, std::vector<double>> held;
  std::uint64_t next_id = 0;
  const auto add = [&](std::size_t count) {
    const std::vector<double> rows = clustered(count, rng);
    std::optional<std::vector<std::uint64_t>> ids(std::in_place);
    for (std::size_t i = 0; i < count; ++i) {
      ids->push_back(next_id);
      held[next_id++] = {rows.begin() + i * kDim, rows.begin() + (i + 1) * kDim};
    }
    ASSERT_TRUE(index.add(rows, ids, runner));
  };
  const auto remove = [&](std::size_t count) {
    std::vector<std::uint64_t> gone;
    for (const auto& [id, row] : held) {
      if (gone.size() < count && rng() % 3 == 0) gone.push_back(id);
    }
    for (const std::uint64_t id : gone) held.erase(id);
    ASSERT_TRUE(index.remove(gone));
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
  ScheduleRunner runner;
  const PartitionParams params{.dim = kDim, .metric = MetricKind::Euclidean, .seed = 1};
  PartitionIndex at_once = PartitionIndex::create(params).value();
  ASSERT_TRUE(at_once.add(rows, ids, runner));
  PartitionIndex grown = PartitionIndex::create(params).value();
  for (std::size_t first = 0; first < 40000; first += 4000) {
    const std::vector<std::uint64_t> part(ids.begin() + first, ids.begin() + first + 4000);
    ASSERT_TRUE(grown.add(std::span(rows).subspan(first * kDim, 4000 * kDim), part, runner));
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
  const PartitionParams params{.dim = kDim, .metric = MetricKind::Cosine, .seed = 4};
  PartitionIndex alone = PartitionIndex::create(params).value();
  PartitionIndex shared = PartitionIndex::create(params).value();
  ScheduleRunner in_order;
  ScheduleRunner backwards(/*backwards=*/true);
  ASSERT_TRUE(alone.add(rows, ids, in_order));
  ASSERT_TRUE(shared.add(rows, ids, backwards));
  EXPECT_TRUE(alone.parts().blocks == shared.parts().blocks);
  for (std::size_t q = 0; q < 50; ++q) {
    const std::span<const double> query(&queries[q * kDim], kDim);
    const auto a = alone.search(query, 10, {.probes = 3, .reorder = 20});
    const auto b = shared.search(query, 10, {.probes = 3, .reorder = 20});
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].id, b[i].id) << "query " << q;
  }
}

bool same_parts(const PartitionParts& a, const PartitionParts& b) {
  return a.slots == b.slots && a.rows == b.rows && a.labels == b.labels &&
         a.next_default == b.next_default && a.trained_at == b.trained_at &&
         a.centroids == b.centroids && a.codebooks == b.codebooks && a.members == b.members &&
         a.blocks == b.blocks && a.exceptions == b.exceptions &&
         a.code_error_limit == b.code_error_limit;
}

// A copy rebuilt from an index's parts holds the same parts, and grows
// into the same index by the same calls: what a saved file promises.
TEST(PartitionIndex, ACopyFromItsPartsIsTheSameAndGrowsAlike) {
  std::mt19937_64 rng(41);
  ScheduleRunner runner;
  const PartitionParams params{.dim = kDim, .metric = MetricKind::InnerProduct, .seed = 9};
  PartitionIndex index = PartitionIndex::create(params).value();
  ASSERT_TRUE(index.add(clustered(6000, rng), std::nullopt, runner));
  const std::vector<std::uint64_t> gone = {5, 17, 4000, 5999};
  ASSERT_TRUE(index.remove(gone));
  // Ids 3 and 5 again: 3 is replaced, 5 comes back into a freed slot.
  ASSERT_TRUE(index.add(clustered(2, rng), std::vector<std::uint64_t>{3, 5}, runner));
  PartitionIndex copy = PartitionIndex::from_parts(index.parts()).value();
  EXPECT_TRUE(same_parts(index.parts(), copy.parts()));
  const std::vector<double> more = clustered(20000, rng);
  ASSERT_TRUE(index.add(more, std::nullopt, runner));
  ASSERT_TRUE(copy.add(more, std::nullopt, runner));
  EXPECT_TRUE(same_parts(index.parts(), copy.parts()));
  const std::vector<double> query = clustered(1, rng);
  const auto a = index.search(query, 10, {.probes = 4, .reorder = 40});
  const auto b = copy.search(query, 10, {.probes = 4, .reorder = 40});
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].id, b[i].id);
}

// An add stopped in its training keeps every vector, searched exactly, a
// replaced id holding its new vector; the next add finishes the training.
TEST(PartitionIndex, AStoppedAddKeepsEveryVectorAndTheNextFinishesIt) {
  std::mt19937_64 rng(51);
  const PartitionParams params{.dim = kDim, .metric = MetricKind::Euclidean, .seed = 2};
  PartitionIndex index = PartitionIndex::create(params).value();
  ScheduleRunner runner;
  ASSERT_TRUE(index.add(clustered(100, rng), std::nullopt, runner));
  const std::vector<double> rows = clustered(5000, rng);
  std::vector<std::uint64_t> ids(5000);
  std::iota(ids.begin(), ids.end(), 7);  // 7 to 99 are replaced
  // Stopped before its first batch is stored: nothing changes, a replaced
  // id keeps its old vector.
  const std::vector<double> before = index.parts().rows;
  ScheduleRunner at_once(/*backwards=*/false, /*stops_after=*/0);
  ASSERT_FALSE(index.add(rows, ids, at_once));
  EXPECT_EQ(index.size(), 100u);
  EXPECT_EQ(index.parts().rows, before);
  ScheduleRunner stopping(/*backwards=*/false, /*stops_after=*/1);
  const auto stopped = index.add(rows, ids, stopping);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().kind, graph::GraphErrorKind::Interrupted);
  EXPECT_FALSE(index.trained());
  EXPECT_EQ(index.size(), 5007u);
  const std::span<const double> seventh(&rows[0], kDim);
  const auto found = index.search(seventh, 1, {});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, 7u);
  EXPECT_EQ(found[0].value, 0.0);
  ASSERT_TRUE(index.add(clustered(1, rng), std::nullopt, runner));
  EXPECT_TRUE(index.trained());
  EXPECT_EQ(index.unplaced(), 0u);
  EXPECT_EQ(index.search(seventh, 1, {.probes = 1, .reorder = 1}).at(0).id, 7u);
}

}  // namespace
}  // namespace halqen::partition
