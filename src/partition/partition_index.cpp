#include "partition/partition_index.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <queue>

#include "codes/code_kernels.hpp"
#include "codes/nibble_block.hpp"
#include "engine/search_door.hpp"
#include "graph/exact_distances.hpp"
#include "metrics/batch.hpp"
#include "metrics/rank_key.hpp"

namespace halqen::partition {
namespace {

// Training reads at most this many vectors per partition (k-means gains
// little from more), taken evenly from the slots.
constexpr std::size_t kTrainingRowsPerPartition = 64;
constexpr std::size_t kCoarseRounds = 10;
constexpr std::size_t kCodeRounds = 10;
// Dimensions per subspace of the product codes.
constexpr std::size_t kDimensionsPerSubspace = 2;
// Slots placed per piece of the parallel part of placing them.
constexpr std::size_t kSlotsPerPiece = 1024;

std::size_t subspaces_for(std::size_t dim) {
  return (dim + kDimensionsPerSubspace - 1) / kDimensionsPerSubspace;
}

std::size_t partitions_for(std::size_t requested, std::size_t rows) {
  if (requested != 0) return std::min(requested, rows);
  const auto twice_root =
      static_cast<std::size_t>(std::lround(2.0 * std::sqrt(static_cast<double>(rows))));
  return std::clamp<std::size_t>(twice_root, 1, rows);
}

// Angular vectors are partitioned and coded at length 1.
void scale_to_length_one(std::span<double> vector, double squared_length) {
  const double length = std::sqrt(squared_length);
  for (double& x : vector) x /= length;
}

struct Estimate {
  double key;
  std::uint32_t slot;
  bool operator<(const Estimate& other) const {
    return key < other.key || (key == other.key && slot < other.slot);
  }
};

}  // namespace

PartitionIndex::PartitionIndex(PartitionParams params)
    : params_(params),
      store_(params.dim, params.metric, graph::RowStorage::Adaptive),
      quantizer_(params.dim, subspaces_for(params.dim)),
      lists_(0, subspaces_for(params.dim)) {}

std::optional<std::uint32_t> PartitionIndex::slot_of(std::uint64_t id) const {
  return labels_.slot_of(id);
}

std::vector<double> PartitionIndex::coded_row(std::uint32_t slot) const {
  std::vector<double> row(params_.dim);
  store_.copy_row(slot, row.data());
  if (params_.metric == MetricKind::Cosine) scale_to_length_one(row, store_.norm(slot));
  return row;
}

std::vector<double> PartitionIndex::coded_query(std::span<const double> query) const {
  std::vector<double> coded(query.begin(), query.end());
  if (params_.metric == MetricKind::Cosine) scale_to_length_one(coded, squared_norm(query));
  return coded;
}

std::vector<std::uint32_t> PartitionIndex::live_slots() const {
  std::vector<std::uint32_t> slots;
  slots.reserve(size());
  for (std::uint32_t slot = 0, next_free = 0; slot < labels_.size(); ++slot) {
    if (next_free < free_.size() && free_[next_free] == slot) {
      ++next_free;
      continue;
    }
    slots.push_back(slot);
  }
  return slots;
}

MetricKind PartitionIndex::coarse_metric() const {
  return params_.metric == MetricKind::InnerProduct ? MetricKind::InnerProduct
                                                    : MetricKind::Euclidean;
}

void PartitionIndex::coarse_keys(std::span<const double> vector, std::span<double> keys) const {
  distances_rows(coarse_metric(), vector, centroids_.data(), params_.dim, keys.size(), keys.data());
  // Smaller is nearer: the inner product's largest is the nearest.
  if (coarse_metric() == MetricKind::InnerProduct) {
    for (double& key : keys) key = -key;
  }
}

void PartitionIndex::place(std::span<const std::uint32_t> slots, const codes::KMeansLoop& loop) {
  // Each slot's partition and codes on the loop's threads, then the lists
  // in slot order, so that they do not depend on the threads.
  const std::size_t subspaces = quantizer_.subspaces();
  std::vector<std::uint32_t> partitions(slots.size());
  std::vector<std::uint8_t> codes(slots.size() * subspaces);
  const auto code_piece = [&](std::size_t piece) {
    const std::size_t end = std::min(slots.size(), (piece + 1) * kSlotsPerPiece);
    std::vector<double> keys(lists_.partitions());
    for (std::size_t i = piece * kSlotsPerPiece; i < end; ++i) {
      std::vector<double> vector = coded_row(slots[i]);
      coarse_keys(vector, keys);
      partitions[i] = static_cast<std::uint32_t>(std::ranges::min_element(keys) - keys.begin());
      const double* centre = &centroids_[partitions[i] * params_.dim];
      for (std::size_t d = 0; d < params_.dim; ++d) vector[d] -= centre[d];
      quantizer_.encode(vector, std::span(codes).subspan(i * subspaces, subspaces));
    }
  };
  const std::size_t pieces = (slots.size() + kSlotsPerPiece - 1) / kSlotsPerPiece;
  if (loop) {
    loop(pieces, code_piece);
  } else {
    for (std::size_t piece = 0; piece < pieces; ++piece) code_piece(piece);
  }
  for (std::size_t i = 0; i < slots.size(); ++i) {
    lists_.add(partitions[i], slots[i], std::span(codes).subspan(i * subspaces, subspaces));
  }
}

void PartitionIndex::train(const codes::KMeansLoop& loop) {
  const std::vector<std::uint32_t> slots = live_slots();
  const std::size_t dim = params_.dim;
  const std::size_t partitions = partitions_for(params_.partitions, slots.size());
  const std::size_t sampled = std::min(slots.size(), partitions * kTrainingRowsPerPartition);
  std::vector<double> sample;
  sample.reserve(sampled * dim);
  for (std::size_t i = 0; i < sampled; ++i) {
    const std::vector<double> row = coded_row(slots[i * slots.size() / sampled]);
    sample.insert(sample.end(), row.begin(), row.end());
  }
  codes::KMeansResult coarse = codes::kmeans(
      sample, dim, {.clusters = partitions, .seed = params_.seed, .rounds = kCoarseRounds}, loop);
  // The codes are trained on what they code: each row less its centroid.
  for (std::size_t i = 0; i < sampled; ++i) {
    const std::size_t centre = coarse.assignment[i];
    for (std::size_t d = 0; d < dim; ++d) sample[i * dim + d] -= coarse.centroids[centre * dim + d];
  }
  quantizer_.train(sample, params_.seed + partitions, kCodeRounds, loop);
  centroids_ = std::move(coarse.centroids);
  lists_ = PartitionLists(partitions, quantizer_.subspaces());
  place(slots, loop);
  trained_at_ = slots.size();
}

void PartitionIndex::add(std::span<const double> rows, std::span<const std::uint64_t> ids,
                         const codes::KMeansLoop& loop) {
  const std::size_t dim = params_.dim;
  graph::NoSearches none;
  store_.widen_for(rows, none);
  // Free slots come only from a removal, which gave the ids a label per slot.
  labels_.reserve(ids);
  std::vector<std::uint32_t> added;
  // Freed slots are filled first, lowest first.
  const std::size_t reused = std::min(free_.size(), ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::span<const double> row = rows.subspan(i * dim, dim);
    if (i < reused) {
      const std::uint32_t slot = free_[i];
      store_.set_row(slot, row);
      labels_.assign(slot, ids[i]);
      added.push_back(slot);
    } else {
      added.push_back(static_cast<std::uint32_t>(labels_.size()));
      store_.append(row, 1);
      labels_.append(ids.subspan(i, 1));
    }
  }
  free_.erase(free_.begin(), free_.begin() + static_cast<std::ptrdiff_t>(reused));
  const bool untrained_and_enough = !trained() && size() >= kRowsToTrain;
  const bool grown = trained() && size() >= kRetrainGrowth * trained_at_;
  if (untrained_and_enough || grown) {
    train(loop);
    return;
  }
  if (trained()) place(added, loop);
}

void PartitionIndex::remove(std::span<const std::uint64_t> ids) {
  labels_.prepare_release();
  for (const std::uint64_t id : ids) {
    const std::uint32_t slot = *labels_.slot_of(id);
    if (lists_.partition_of(slot) != PartitionLists::kNone) lists_.remove(slot);
    labels_.release(slot);
    store_.clear_row(slot);
    free_.insert(std::ranges::lower_bound(free_, slot), slot);
  }
}

std::vector<std::uint32_t> PartitionIndex::candidates(std::span<const double> query,
                                                      ScanWidth width) const {
  const std::size_t dim = params_.dim;
  const bool inner = params_.metric == MetricKind::InnerProduct;
  const std::vector<double> coded = coded_query(query);
  // The partitions nearest the query.
  std::vector<double> keys(lists_.partitions());
  coarse_keys(coded, keys);
  std::vector<Estimate> nearest(keys.size());
  for (std::uint32_t p = 0; p < nearest.size(); ++p) nearest[p] = {keys[p], p};
  const std::size_t probes = std::clamp<std::size_t>(width.probes, 1, nearest.size());
  std::partial_sort(nearest.begin(), nearest.begin() + probes, nearest.end());
  // The best `reorder` by code, kept in a heap whose top is the worst.
  std::priority_queue<Estimate> best;
  const std::size_t reorder = std::max<std::size_t>(width.reorder, 1);
  // Under the inner product every partition scans with the query's own
  // tables, made once, adding its centroid's term; otherwise each partition
  // makes tables of the query less its centroid.
  const std::size_t subspaces = quantizer_.subspaces();
  const std::optional<codes::NibbleTables> shared =
      inner ? std::optional(
                  codes::quantized_tables(quantizer_.query_distances(coded, true), subspaces))
            : std::nullopt;
  codes::NibbleTables own;
  std::vector<double> residual(dim);
  std::vector<std::uint16_t> sums(codes::kNibbleBlock);
  const codes::CodeKernels& kernels = codes::active_code_kernels();
  const std::size_t padded = codes::padded_subspaces(subspaces);
  for (std::size_t i = 0; i < probes; ++i) {
    const std::uint32_t p = nearest[i].slot;
    const std::span<const std::uint32_t> members = lists_.members(p);
    if (members.empty()) continue;
    if (!inner) {
      for (std::size_t d = 0; d < dim; ++d) residual[d] = coded[d] - centroids_[p * dim + d];
      own = codes::quantized_tables(quantizer_.query_distances(residual, false), subspaces);
    }
    const codes::NibbleTables& tables = inner ? *shared : own;
    const double base = inner ? tables.base + nearest[i].key : tables.base;
    const std::uint8_t* blocks = lists_.blocks(p);
    for (std::size_t first = 0; first < members.size(); first += codes::kNibbleBlock) {
      kernels.nibble_sums(tables.entries.data(),
                          blocks + first / codes::kNibbleBlock * lists_.block_bytes(), padded,
                          sums.data());
      const std::size_t count = std::min(codes::kNibbleBlock, members.size() - first);
      for (std::size_t j = 0; j < count; ++j) {
        const Estimate estimate{base + tables.step * sums[j], members[first + j]};
        if (best.size() < reorder) {
          best.push(estimate);
        } else if (estimate < best.top()) {
          best.pop();
          best.push(estimate);
        }
      }
    }
  }
  std::vector<std::uint32_t> slots;
  slots.reserve(best.size());
  while (!best.empty()) {
    slots.push_back(best.top().slot);
    best.pop();
  }
  return slots;
}

std::vector<PartitionFound> PartitionIndex::search(std::span<const double> query, std::size_t k,
                                                   ScanWidth width) const {
  const std::vector<std::uint32_t> slots = trained() ? candidates(query, width) : live_slots();
  graph::ExactDistances exact(store_, query);
  std::vector<double> values(slots.size());
  exact.values(slots.data(), slots.size(), values.data());
  struct Ranked {
    RankKey key;
    std::uint64_t id;
    double value;
  };
  std::vector<Ranked> ranked;
  ranked.reserve(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    ranked.push_back(
        {rank_key(exact.order().key(values[i])), labels_.label_of(slots[i]), values[i]});
  }
  const std::size_t kept = std::min(k, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + kept, ranked.end(),
                    [](const Ranked& a, const Ranked& b) {
                      return a.key < b.key || (a.key == b.key && a.id < b.id);
                    });
  std::vector<PartitionFound> found;
  for (std::size_t i = 0; i < kept; ++i) found.push_back({ranked[i].id, ranked[i].value});
  return found;
}

}  // namespace halqen::partition
