// The rerank of a code walk's candidates against a plain reference that
// scores every candidate with the metric: the same slots and the same value
// bits, ties and all, for every metric on float, clustered (with duplicates)
// and integer data, after the 8-bit range has widened and slots were
// rewritten. And what it rests on: every lower bound at most the metric's
// value, and every value told by the code equal to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codes/code_store.hpp"
#include "graph/code_distances.hpp"
#include "graph/exact_distances.hpp"
#include "graph/label_map.hpp"
#include "graph/rerank.hpp"
#include "graph/vector_store.hpp"
#include "metrics/metrics.hpp"

namespace halqen::graph {
namespace {

constexpr std::size_t kDim = 19;
constexpr std::size_t kRowsPerBatch = 60;
constexpr int kQueries = 25;
constexpr std::size_t kRerankPerAnswer = 3;

// Pixels: integers but for a few components; EvenPixels: even integers.
enum class Data { Floats, Clustered, Pixels, EvenPixels };

// One row of `data`; batch b reaches further out (floats widen the range).
std::vector<double> draw_row(Data data, int batch, std::mt19937& rng,
                             const std::vector<double>& centres) {
  std::vector<double> row(kDim);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_int_distribution<int> pixel(0, 255);
  std::uniform_int_distribution<std::size_t> pick(0, centres.size() / kDim - 1);
  const std::size_t centre = pick(rng) * kDim;
  for (std::size_t d = 0; d < kDim; ++d) {
    switch (data) {
      case Data::Floats:
        row[d] = normal(rng) * (1 + batch);
        break;
      case Data::Clustered:
        // Coarse noise: some rows repeat exactly, so distances tie.
        row[d] = centres[centre + d] + std::round(normal(rng) * 2) / 4;
        break;
      case Data::Pixels: {
        // A few components between the codes' values (inside the range).
        const int value = pixel(rng);
        row[d] = value + (value < 8 ? 0.25 : 0.0);
        break;
      }
      case Data::EvenPixels:
        row[d] = 2.0 * pixel(rng);
        break;
    }
  }
  return row;
}

// The first batch of an integer set spans its whole range in every
// dimension, so it sets the step to exactly 1 (or 2) for good.
void span_range(Data data, std::vector<double>& rows) {
  if (data != Data::Pixels && data != Data::EvenPixels) return;
  const double top = data == Data::Pixels ? 255.0 : 510.0;
  std::fill_n(rows.begin(), kDim, 0.0);
  std::fill_n(rows.begin() + kDim, kDim, top);
}

struct Stores {
  VectorStore rows;
  codes::CodeStore codes;
};

Stores fill(Data data, MetricKind metric, std::mt19937& rng, const std::vector<double>& centres) {
  // Rows float32 while they are float32 values (the integer sets), as an
  // index keeps them: the rerank reads either width.
  Stores stores{VectorStore(kDim, metric, RowStorage::Adaptive),
                codes::CodeStore(kDim, metric, codes::CodeKind::Sq8)};
  NoSearches door;
  for (int batch = 0; batch < 3; ++batch) {
    std::vector<double> rows;
    for (std::size_t i = 0; i < kRowsPerBatch; ++i) {
      const std::vector<double> row = draw_row(data, batch, rng, centres);
      rows.insert(rows.end(), row.begin(), row.end());
    }
    if (batch == 0) span_range(data, rows);
    const std::size_t coded = stores.rows.size();
    stores.rows.widen_for(rows, door);
    stores.rows.append(std::span<const double>(rows), kRowsPerBatch);
    stores.codes.append(stores.rows.rows().first(coded), rows);
  }
  // A slot written again in place, as a removed slot refilled.
  const std::vector<double> row = draw_row(data, 3, rng, centres);
  stores.rows.widen_for(row, door);
  stores.rows.set_row(5, row);
  stores.codes.overwrite(5, stores.rows.rows(), row);
  return stores;
}

std::vector<double> draw_query(Data data, int q, std::mt19937& rng, const Stores& stores,
                               const std::vector<double>& centres) {
  // Some queries are stored vectors, some lie off the codes' grid.
  if (q % 5 == 0) {
    const StoredRow row(stores.rows, static_cast<std::uint32_t>(q));
    return {row.numbers.begin(), row.numbers.end()};
  }
  std::vector<double> query = draw_row(data, 1, rng, centres);
  if (q % 7 == 0) query[q % kDim] += 0.375;
  return query;
}

// Every candidate scored by the metric, the k nearest by key, then slot.
std::vector<Scored> reference(std::span<const Candidate> walked, std::size_t k,
                              const Stores& stores, std::span<const double> query) {
  const MetricFn metric = metric_function(stores.rows.metric());
  const KeyOrder order(stores.rows.metric());
  std::vector<Scored> all;
  for (const Candidate& c : walked)
    all.push_back({c.slot, metric(query, StoredRow(stores.rows, c.slot).numbers)});
  std::sort(all.begin(), all.end(), [&order](const Scored& a, const Scored& b) {
    const double ka = order.key(a.value);
    const double kb = order.key(b.value);
    return ka < kb || (ka == kb && a.slot < b.slot);
  });
  all.resize(std::min(k, all.size()));
  return all;
}

void expect_bounds_hold(const Stores& stores, const CodeDistances& coded,
                        std::span<const double> query, std::span<const Candidate> keyed) {
  const MetricFn metric = metric_function(stores.rows.metric());
  const KeyOrder order(stores.rows.metric());
  for (const Candidate& c : keyed) {
    const double value = metric(query, StoredRow(stores.rows, c.slot).numbers);
    // A bound is on the order key: the distance, or the negated cosine or
    // inner product.
    if (coded.bounds_values()) {
      EXPECT_LE(coded.lower_bound(c.key, c.slot), order.key(value)) << c.slot;
    }
    if (coded.knows_value(c.slot)) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(coded.value_of_key(c.key)),
                std::bit_cast<std::uint64_t>(value))
          << c.slot;
    }
  }
}

TEST(GraphRerank, MatchesScoringEveryCandidate) {
  const MetricKind metrics[] = {MetricKind::Euclidean, MetricKind::Cosine,
                                MetricKind::InnerProduct};
  const Data sets[] = {Data::Floats, Data::Clustered, Data::Pixels, Data::EvenPixels};
  for (const MetricKind metric : metrics) {
    for (const Data data : sets) {
      SCOPED_TRACE("metric " + std::to_string(static_cast<int>(metric)) + ", data " +
                   std::to_string(static_cast<int>(data)));
      std::mt19937 rng(
          static_cast<unsigned>(17 * static_cast<int>(data) + static_cast<int>(metric)));
      std::vector<double> centres;
      for (int i = 0; i < 4; ++i) {
        const std::vector<double> centre = draw_row(Data::Floats, 2, rng, {0.0});
        centres.insert(centres.end(), centre.begin(), centre.end());
      }
      const Stores stores = fill(data, metric, rng, centres);
      std::size_t known = 0;
      std::size_t scored = 0;
      std::size_t offered = 0;
      RerankScratch scratch;
      const LabelMap slots_as_ids;  // holds nothing: every id is its slot
      for (int q = 0; q < kQueries; ++q) {
        const std::vector<double> query = draw_query(data, q, rng, stores, centres);
        CodeDistances coded(stores.codes, query);
        ExactDistances exact(stores.rows, query);
        std::vector<Candidate> keyed;
        for (std::uint32_t slot = 0; slot < stores.rows.size(); ++slot) {
          keyed.push_back({coded.key(slot), slot});
          known += coded.knows_value(slot) ? 1 : 0;
        }
        std::sort(keyed.begin(), keyed.end(), Nearer{});
        expect_bounds_hold(stores, coded, query, keyed);
        const std::size_t k = 1 + static_cast<std::size_t>(q) % 12;
        for (const std::size_t walked : {k / 2, k, k * kRerankPerAnswer}) {
          const std::span<const Candidate> candidates = std::span(keyed).first(walked);
          const Reranked got = rerank(candidates, k, exact, coded, slots_as_ids, scratch);
          const std::vector<Scored> want = reference(candidates, k, stores, query);
          ASSERT_EQ(got.nearest.size(), want.size()) << "query " << q << ", k " << k;
          for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got.nearest[i].slot, want[i].slot) << "query " << q << ", rank " << i;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got.nearest[i].value),
                      std::bit_cast<std::uint64_t>(want[i].value))
                << "query " << q << ", rank " << i;
          }
          scored += got.scored;
          offered += walked;
        }
      }
      // The shortcuts are taken where they can be: integer pixels are their
      // own codes under the euclidean distance, so the rerank stops early.
      if (metric == MetricKind::Euclidean && data != Data::Floats && data != Data::Clustered) {
        EXPECT_GT(known, 0U);
        EXPECT_LT(scored, offered);
      }
    }
  }
}

}  // namespace
}  // namespace halqen::graph
