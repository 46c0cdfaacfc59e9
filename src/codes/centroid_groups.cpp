#include "codes/centroid_groups.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "metrics/batch.hpp"
#include "metrics/block.hpp"

namespace halqen::codes {
namespace {

constexpr std::uint64_t kGroupingSeed = 0x9e3779b97f4a7c15;
constexpr std::size_t kGroupingRounds = 5;
constexpr std::size_t kRowsPerPiece = 1024;
// Rows scored against every head at once: their distances stay in cache.
constexpr std::size_t kRowsPerRun = 64;

}  // namespace

CentroidGroups::CentroidGroups(std::span<const double> centroids, std::size_t dim,
                               const KMeansLoop& loop)
    : dim_(dim) {
  const std::size_t count = centroids.size() / dim;
  const auto heads = static_cast<std::size_t>(std::ceil(std::sqrt(static_cast<double>(count))));
  KMeansResult grouping = kmeans(
      centroids, dim, {.clusters = heads, .seed = kGroupingSeed, .rounds = kGroupingRounds}, loop);
  heads_ = std::move(grouping.centroids);
  // The centroids of each group side by side, their numbers beside them.
  std::vector<std::size_t> starts(heads + 1, 0);
  for (const std::uint32_t head : grouping.assignment) ++starts[head + 1];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  group_start_ = starts;
  members_.resize(count);
  grouped_.resize(centroids.size());
  for (std::uint32_t c = 0; c < count; ++c) {
    const std::size_t at = starts[grouping.assignment[c]]++;
    members_[at] = c;
    std::copy_n(&centroids[c * dim], dim, &grouped_[at * dim]);
  }
}

std::vector<std::uint32_t> CentroidGroups::nearest(std::span<const double> rows,
                                                   const KMeansLoop& loop) const {
  const std::size_t count = rows.size() / dim_;
  std::vector<std::uint32_t> nearest(count, 0);
  std::vector<VectorView> views;
  for (std::size_t h = 0; h < head_count(); ++h) views.emplace_back(&heads_[h * dim_], dim_);
  const QueryBlock block(MetricKind::Euclidean, views);
  const std::size_t pieces = (count + kRowsPerPiece - 1) / kRowsPerPiece;
  const auto piece_of = [&](std::size_t piece) {
    std::vector<double> out(head_count() * kRowsPerRun);
    std::array<Head, kHeadsSearched> best;
    std::vector<double> scores(members_.size());
    const std::size_t end = std::min(count, (piece + 1) * kRowsPerPiece);
    for (std::size_t first = piece * kRowsPerPiece; first < end; first += kRowsPerRun) {
      const std::size_t run_rows = std::min(kRowsPerRun, end - first);
      block.distances(&rows[first * dim_], nullptr, dim_, run_rows, out.data());
      for (std::size_t i = 0; i < run_rows; ++i) {
        const std::size_t searched = nearest_heads(out.data() + i, run_rows, best);
        nearest[first + i] =
            nearest_in_groups(&rows[(first + i) * dim_], std::span(best).first(searched), scores);
      }
    }
  };
  if (loop) {
    loop(pieces, piece_of);
  } else {
    for (std::size_t piece = 0; piece < pieces; ++piece) piece_of(piece);
  }
  return nearest;
}

std::size_t CentroidGroups::nearest_heads(const double* values, std::size_t stride,
                                          std::span<Head, kHeadsSearched> best) const {
  std::size_t kept = 0;
  for (std::uint32_t h = 0; h < head_count(); ++h) {
    const Head head{values[h * stride], h};
    if (kept == kHeadsSearched && !(head < best[kept - 1])) continue;
    std::size_t at = kept == kHeadsSearched ? kept - 1 : kept++;
    for (; at > 0 && head < best[at - 1]; --at) best[at] = best[at - 1];
    best[at] = head;
  }
  return kept;
}

std::uint32_t CentroidGroups::nearest_in_groups(const double* row, std::span<const Head> groups,
                                                std::vector<double>& scores) const {
  double best = 0.0;
  std::uint32_t chosen = ~std::uint32_t{0};
  for (const auto& [distance, head] : groups) {
    const std::size_t begin = group_start_[head];
    const std::size_t size = group_start_[head + 1] - begin;
    distances_rows(MetricKind::Euclidean, VectorView(row, dim_), &grouped_[begin * dim_], dim_,
                   size, scores.data());
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint32_t c = members_[begin + i];
      if (chosen == ~std::uint32_t{0} || scores[i] < best || (scores[i] == best && c < chosen)) {
        best = scores[i];
        chosen = c;
      }
    }
  }
  return chosen;
}

}  // namespace halqen::codes
