// How a filtered search proceeds, decided from the number of matches before
// it starts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "metadata/metadata.hpp"

namespace halqen::graph {

// Admits the vectors whose value for `attribute` equals one of `values`.
struct ValueFilter {
  std::string attribute;
  std::vector<Metadata> values;
};

enum class FilterPlan {
  ScoreMatches,    // every match scored exactly: recall 1.0
  WalkMatches,     // a two-hop walk over the matches
  ScanPartitions,  // the buckets of each value's pivots nearest the query
};

// Measured on a Gaussian mixture (100 clusters, 128 dimensions, 30,000 and
// 50,000 vectors, one thread; bench/filtered.py): scoring a match exactly
// costs 0.1-0.45 us, an unfiltered search at recall 0.95 about 300-600 us.
// Up to 4,096 matches, scoring them all (0.4-1.8 ms) never fell below 0.3x
// the unfiltered search's rate, and it beat every walk below 1,500 matches.
inline constexpr std::size_t kScoreMatchesUpTo = 4096;
// Below this share of matches within two hops of where the walk starts, a
// two-hop walk loses the nearest matches (recall 0.81-0.94 even at ef
// 1,024 when the attribute follows the clusters and the query's cluster
// holds few matches); at 5% and above it reached recall 0.98 at ef 10.
inline constexpr double kDenseShare = 1.0 / 32.0;
// Members of partition buckets scanned per unit of search width. At the
// default width 64, on 100,000 vectors whose 5% and 10% values follow the
// clusters, 16 per unit (1,024 members) reached recall 0.91 and 0.95 where
// the unfiltered search reached 0.987; 48 (3,072) reached 0.983 and 0.984,
// what a user gets untuned being within 0.02 of the unfiltered recall.
inline constexpr std::size_t kScannedPerWidth = 48;

// The plan for `matches` matches, `dense_share` of the nodes around the
// query's entry point matching (only read when matches exceed
// kScoreMatchesUpTo).
inline FilterPlan plan_for(std::size_t matches, double dense_share) {
  if (matches <= kScoreMatchesUpTo) return FilterPlan::ScoreMatches;
  return dense_share >= kDenseShare ? FilterPlan::WalkMatches : FilterPlan::ScanPartitions;
}

}  // namespace halqen::graph
