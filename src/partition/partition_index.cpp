#include "partition/partition_index.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <optional>
#include <queue>
#include <utility>

#include "codes/code_kernels.hpp"
#include "codes/nibble_block.hpp"
#include "engine/search_door.hpp"
#include "graph/exact_distances.hpp"
#include "graph/row_rules.hpp"
#include "metrics/batch.hpp"
#include "metrics/rank_key.hpp"

namespace halqen::partition {
namespace {

// Training reads at most this many vectors per partition (k-means gains
// little from more), taken evenly from the slots.
constexpr std::size_t kTrainingRowsPerPartition = 64;
constexpr std::size_t kCoarseRounds = 10;
constexpr std::size_t kCodeRounds = 10;
// A member whose squared code error is past this many times the median of
// the training rows' is scored exactly whenever its partition is scanned:
// heavy tails and outliers have few such members, each one whose codes
// would rank it among the wrong candidates.
constexpr double kExceptionalError = 9.0;
// A search also scores every scanned member whose estimate, less what
// rounding the tables and this share of the typical code error could
// have added (toward the query), is nearer than the kth found: a query far
// from the data (heavy tails, an outlier) magnifies both, and its best by
// codes are then not its best. Half the typical error costs nothing seen
// on clustered data.
constexpr double kMisplacedShare = 0.5;
// An addition is stored in batches of this many rows, a stop (Ctrl-C)
// heard between them: storing rows into memory not touched before can
// take a second per 200 MB on a fresh machine.
constexpr std::size_t kRowsPerStoredBatch = 8192;
// An addition of at least this many new slots reserves their rows at once.
constexpr std::size_t kRowsMadeRoomFor = 1024;
// Slots placed per piece of the parallel part of placing them.
constexpr std::size_t kSlotsPerPiece = 1024;

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
      quantizer_(params.dim, code_subspaces(params.dim)),
      lists_(0, code_subspaces(params.dim)) {}

std::expected<PartitionIndex, graph::GraphError> PartitionIndex::create(PartitionParams params) {
  if (params.dim == 0 || params.dim > kMaxDim) {
    return std::unexpected(
        graph::GraphError{.kind = graph::GraphErrorKind::BadParameter, .detail = params.dim});
  }
  if (params.partitions > kMaxPartitions) {
    return std::unexpected(graph::GraphError{.kind = graph::GraphErrorKind::BadParameter,
                                             .detail = params.partitions});
  }
  return PartitionIndex(params);
}

bool PartitionIndex::is_free(std::uint32_t slot) const {
  return std::ranges::binary_search(free_, slot);
}

std::uint64_t PartitionIndex::heap_bytes() const {
  return store_.heap_bytes() + labels_.heap_bytes() +
         (free_.capacity() + unplaced_.capacity()) * sizeof(std::uint32_t) +
         centroids_.capacity() * sizeof(double) + quantizer_.centroids().size() * sizeof(double) +
         lists_.heap_bytes();
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
  if (!narrow_centroids_.empty()) {
    // Vectors of length 1 and their centroids fit float32 whatever the data.
    std::vector<float> query(narrow_width(), 0.0F);
    std::ranges::transform(vector, query.begin(), [](double x) { return static_cast<float>(x); });
    const codes::CodeKernels& kernels = codes::active_code_kernels();
    for (std::size_t p = 0; p < keys.size(); ++p) {
      keys[p] =
          kernels.float_l2(query.data(), &narrow_centroids_[p * narrow_width()], narrow_width());
    }
    return;
  }
  distances_rows(coarse_metric(), vector, centroids_.data(), params_.dim, keys.size(), keys.data());
  // Smaller is nearer: the inner product's largest is the nearest.
  if (coarse_metric() == MetricKind::InnerProduct) {
    for (double& key : keys) key = -key;
  }
}

bool PartitionIndex::place_unplaced(graph::JobRunner& runner) {
  if (!trained() || unplaced_.empty()) return true;
  // Each slot's partition and codes on the runner's threads, then the lists
  // in slot order, so that they do not depend on the threads.
  const std::span<const std::uint32_t> slots = unplaced_;
  const std::size_t dim = params_.dim;
  const std::size_t subspaces = quantizer_.subspaces();
  std::vector<std::uint32_t> partitions(slots.size());
  std::vector<std::uint8_t> codes(slots.size() * subspaces);
  std::vector<std::uint8_t> exceptional(slots.size(), 0);
  const auto code_piece = [&](std::size_t piece) {
    const std::size_t first = piece * kSlotsPerPiece;
    const std::size_t end = std::min(slots.size(), first + kSlotsPerPiece);
    std::vector<double> vectors;
    vectors.reserve((end - first) * dim);
    for (std::size_t i = first; i < end; ++i) {
      const std::vector<double> vector = coded_row(slots[i]);
      vectors.insert(vectors.end(), vector.begin(), vector.end());
    }
    const std::vector<std::uint32_t> nearest =
        codes::nearest_centroids(vectors, dim, centroids_, {}, coarse_metric());
    for (std::size_t i = first; i < end; ++i) {
      partitions[i] = nearest[i - first];
      const std::span<double> vector = std::span(vectors).subspan((i - first) * dim, dim);
      const double* centre = &centroids_[partitions[i] * dim];
      for (std::size_t d = 0; d < dim; ++d) vector[d] -= centre[d];
      const double error =
          quantizer_.encode(vector, std::span(codes).subspan(i * subspaces, subspaces));
      exceptional[i] = error > code_error_limit_ ? 1 : 0;
    }
  };
  const std::size_t pieces = (slots.size() + kSlotsPerPiece - 1) / kSlotsPerPiece;
  if (!runner.run(PieceJob{pieces, code_piece}, /*may_stop=*/true)) return false;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (exceptional[i] != 0) {
      lists_.add_exception(partitions[i], slots[i]);
    } else {
      lists_.add(partitions[i], slots[i], std::span(codes).subspan(i * subspaces, subspaces));
    }
  }
  // After placing many, the lists' doubling room is given back: up to a
  // row's worth of codes and slots per vector.
  if (slots.size() >= kRowsMadeRoomFor) lists_.shrink_to_fit();
  unplaced_ = {};
  return true;
}

std::size_t PartitionIndex::partitions_to_train(std::size_t rows) const {
  return std::min(partitions_for(params_.partitions, std::max(rows, size())), rows);
}

std::vector<double> PartitionIndex::sample_of_held() const {
  const std::vector<std::uint32_t> slots = live_slots();
  const std::size_t partitions = partitions_to_train(slots.size());
  const std::size_t sampled = std::min(slots.size(), partitions * kTrainingRowsPerPartition);
  std::vector<double> sample;
  sample.reserve(sampled * params_.dim);
  for (std::size_t i = 0; i < sampled; ++i) {
    const std::vector<double> row = coded_row(slots[i * slots.size() / sampled]);
    sample.insert(sample.end(), row.begin(), row.end());
  }
  return sample;
}

bool PartitionIndex::train_on(std::vector<double> sample, std::size_t partitions,
                              graph::JobRunner& runner) {
  const std::size_t dim = params_.dim;
  const std::size_t rows = sample.size() / dim;
  // Every piece of a training's loops runs or the training is dropped.
  bool stopped = false;
  const codes::KMeansLoop loop = [&](std::size_t pieces,
                                     const std::function<void(std::size_t)>& each) {
    if (!stopped) stopped = !runner.run(PieceJob{pieces, each}, /*may_stop=*/true);
  };
  codes::KMeansResult coarse = codes::kmeans(
      sample, dim, {.clusters = partitions, .seed = params_.seed, .rounds = kCoarseRounds}, loop);
  if (stopped) return false;
  // The codes are trained on what they code: each row less its centroid.
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t centre = coarse.assignment[i];
    for (std::size_t d = 0; d < dim; ++d) sample[i * dim + d] -= coarse.centroids[centre * dim + d];
  }
  codes::ProductQuantizer quantizer(dim, quantizer_.subspaces());
  quantizer.train(sample, params_.seed + partitions, kCodeRounds, loop);
  if (stopped) return false;
  std::vector<double> errors(rows);
  std::vector<std::uint8_t> codes(quantizer.subspaces());
  for (std::size_t i = 0; i < rows; ++i) {
    errors[i] = quantizer.encode(std::span(sample).subspan(i * dim, dim), codes);
  }
  const auto median = errors.begin() + static_cast<std::ptrdiff_t>(rows / 2);
  std::ranges::nth_element(errors, median);
  code_error_limit_ = kExceptionalError * *median;
  centroids_ = std::move(coarse.centroids);
  narrow_the_centroids();
  quantizer_ = std::move(quantizer);
  lists_ = PartitionLists(partitions, quantizer_.subspaces());
  unplaced_ = live_slots();
  trained_at_ = std::max(rows, size());
  return true;
}

std::optional<graph::GraphError> PartitionIndex::check_addition(
    std::span<const double> rows, const std::optional<std::vector<std::uint64_t>>& ids) const {
  const std::size_t dim = params_.dim;
  const std::size_t count = rows.size() / dim;
  const bool cosine = params_.metric == MetricKind::Cosine;
  for (std::size_t row = 0; row < count; ++row) {
    if (auto refused = graph::check_row(rows.subspan(row * dim, dim), cosine, row)) return refused;
  }
  if (ids && ids->size() != count) {
    return graph::GraphError{.kind = graph::GraphErrorKind::CountMismatch, .detail = ids->size()};
  }
  const std::uint64_t most = std::uint64_t{PartitionLists::kNone};
  if (count > most - labels_.size() + free_.size()) {
    return graph::GraphError{.kind = graph::GraphErrorKind::TooManyVectors, .detail = count};
  }
  if (ids) return labels_.check(*ids, /*may_be_present=*/true);
  if (count > graph::kLargestId - labels_.next_default() + 1) {
    return graph::GraphError{.kind = graph::GraphErrorKind::IdTooLarge,
                             .detail = labels_.next_default() + count - 1};
  }
  return std::nullopt;
}

std::vector<std::uint64_t> PartitionIndex::ids_for(
    std::size_t count, std::optional<std::vector<std::uint64_t>> ids) const {
  if (ids) return std::move(*ids);
  std::vector<std::uint64_t> made(count);
  std::iota(made.begin(), made.end(), labels_.next_default());
  return made;
}

void PartitionIndex::store_row(std::span<const double> row, std::uint64_t id) {
  const std::array<std::uint64_t, 1> label{id};
  if (!free_.empty()) {
    // Freed slots are filled first, lowest first.
    const std::uint32_t slot = free_.front();
    store_.set_row(slot, row);
    labels_.assign(slot, id);
    free_.erase(free_.begin());
    unplaced_.insert(std::ranges::lower_bound(unplaced_, slot), slot);
    return;
  }
  const auto slot = static_cast<std::uint32_t>(labels_.size());
  store_.append(row, 1);
  labels_.append(label);
  unplaced_.push_back(slot);
}

std::expected<void, graph::GraphError> PartitionIndex::add(
    std::span<const double> rows, std::optional<std::vector<std::uint64_t>> given,
    graph::JobRunner& runner) {
  if (auto refused = check_addition(rows, given)) return std::unexpected(*refused);
  const std::size_t dim = params_.dim;
  const std::vector<std::uint64_t> ids = ids_for(rows.size() / dim, std::move(given));
  graph::NoSearches none;
  store_.widen_for(rows, none);
  labels_.reserve(ids);
  // A large addition makes its room at once, not by doubling (each a copy).
  std::size_t new_ids = 0;
  for (const std::uint64_t id : ids) new_ids += labels_.slot_of(id) ? 0 : 1;
  const std::size_t appended = new_ids - std::min(free_.size(), new_ids);
  if (appended >= kRowsMadeRoomFor) store_.reserve(labels_.size() + appended);
  // Stored a batch at a time, a stop heard between batches; within one, a
  // replaced id's old vector goes as its new one comes.
  for (std::size_t first = 0; first < ids.size(); first += kRowsPerStoredBatch) {
    if (runner.stop_requested()) {
      return std::unexpected(graph::GraphError{.kind = graph::GraphErrorKind::Interrupted});
    }
    const std::size_t end = std::min(ids.size(), first + kRowsPerStoredBatch);
    std::vector<std::uint64_t> replaced;
    for (std::size_t i = first; i < end; ++i) {
      if (labels_.slot_of(ids[i])) replaced.push_back(ids[i]);
    }
    if (!replaced.empty()) remove(replaced).value();
    for (std::size_t i = first; i < end; ++i) store_row(rows.subspan(i * dim, dim), ids[i]);
  }
  const bool untrained_and_enough = !trained() && size() >= kRowsToTrain;
  // Trained again only on as many as a first training needs, whatever a
  // loaded file says it was trained on.
  const bool grown = trained() && size() >= kRowsToTrain && size() >= kRetrainGrowth * trained_at_;
  bool completed = true;
  if (untrained_and_enough || grown) {
    completed = train_on(sample_of_held(), partitions_to_train(size()), runner);
  }
  completed = completed && place_unplaced(runner);
  if (!completed)
    return std::unexpected(graph::GraphError{.kind = graph::GraphErrorKind::Interrupted});
  return {};
}

std::expected<void, graph::GraphError> PartitionIndex::train(std::span<const double> sample,
                                                             graph::JobRunner& runner) {
  std::vector<double> coded(sample.begin(), sample.end());
  if (params_.metric == MetricKind::Cosine) {
    for (std::size_t row = 0; row < coded.size() / params_.dim; ++row) {
      const std::span<double> vector = std::span(coded).subspan(row * params_.dim, params_.dim);
      scale_to_length_one(vector, squared_norm(vector));
    }
  }
  const std::size_t partitions = partitions_to_train(coded.size() / params_.dim);
  if (!train_on(std::move(coded), partitions, runner) || !place_unplaced(runner)) {
    return std::unexpected(graph::GraphError{.kind = graph::GraphErrorKind::Interrupted});
  }
  return {};
}

std::expected<void, graph::GraphError> PartitionIndex::remove(std::span<const std::uint64_t> ids) {
  for (std::size_t row = 0; row < ids.size(); ++row) {
    if (!labels_.slot_of(ids[row])) {
      return std::unexpected(graph::GraphError{
          .kind = graph::GraphErrorKind::UnknownId, .row = row, .detail = ids[row]});
    }
  }
  labels_.prepare_release();
  for (const std::uint64_t id : ids) {
    const std::optional<std::uint32_t> slot = labels_.slot_of(id);
    if (!slot) continue;  // given twice
    if (lists_.partition_of(*slot) != PartitionLists::kNone) lists_.remove(*slot);
    if (const auto at = std::ranges::lower_bound(unplaced_, *slot);
        at != unplaced_.end() && *at == *slot) {
      unplaced_.erase(at);
    }
    labels_.release(*slot);
    store_.clear_row(*slot);
    free_.insert(std::ranges::lower_bound(free_, *slot), *slot);
  }
  return {};
}

PartitionIndex::Scan PartitionIndex::scan(std::span<const double> query, ScanWidth width) const {
  const std::size_t dim = params_.dim;
  const bool inner = estimates_inner_products();
  const std::vector<double> coded = coded_query(query);
  // The partitions nearest the query.
  std::vector<double> keys(lists_.partitions());
  coarse_keys(coded, keys);
  std::vector<Estimate> nearest(keys.size());
  for (std::uint32_t p = 0; p < nearest.size(); ++p) nearest[p] = {keys[p], p};
  const std::size_t probes = std::clamp<std::size_t>(width.probes, 1, nearest.size());
  std::partial_sort(nearest.begin(), nearest.begin() + probes, nearest.end());
  Scan scan;
  std::size_t scanned = 0;
  for (std::size_t i = 0; i < probes; ++i) scanned += lists_.members(nearest[i].slot).size();
  scan.scanned.reserve(scanned);
  // Under the inner product every partition scans with the query's own
  // tables, made once, adding its centroid's term; otherwise each partition
  // makes tables of the query less its centroid.
  const std::size_t subspaces = quantizer_.subspaces();
  const std::optional<codes::NibbleTables> shared =
      inner ? std::optional(
                  codes::quantized_tables(quantizer_.query_distances(coded, true), subspaces))
            : std::nullopt;
  // What a member's codes may misplace it by: under the inner product its
  // code error times the query's length, else its code error.
  scan.misplaced = kMisplacedShare * std::sqrt(code_error_limit_ / kExceptionalError) *
                   (inner ? std::sqrt(squared_norm(coded)) : 1.0);
  codes::NibbleTables own;
  std::vector<double> distances(subspaces * codes::kNibbleCentroids);
  std::vector<double> residual(dim);
  std::vector<std::uint16_t> sums(codes::kNibbleBlock);
  const codes::CodeKernels& kernels = codes::active_code_kernels();
  const std::size_t padded = codes::padded_subspaces(subspaces);
  for (std::size_t i = 0; i < probes; ++i) {
    const std::uint32_t p = nearest[i].slot;
    const std::span<const std::uint32_t> exceptions = lists_.exceptions(p);
    scan.exact.insert(scan.exact.end(), exceptions.begin(), exceptions.end());
    const std::span<const std::uint32_t> members = lists_.members(p);
    if (members.empty()) continue;
    if (!inner) {
      for (std::size_t d = 0; d < dim; ++d) residual[d] = coded[d] - centroids_[p * dim + d];
      quantizer_.query_distances(residual, false, distances);
      codes::fill_quantized_tables(distances, subspaces, own);
    }
    const codes::NibbleTables& tables = inner ? *shared : own;
    const double base = inner ? tables.base - centroid_product(coded, p) : tables.base;
    // Rounding the tables' entries moves an estimate by half a step each.
    const auto probe = static_cast<std::uint32_t>(scan.rounding.size());
    scan.rounding.push_back(tables.step * static_cast<double>(subspaces) / 2);
    const std::uint8_t* blocks = lists_.blocks(p);
    for (std::size_t first = 0; first < members.size(); first += codes::kNibbleBlock) {
      kernels.nibble_sums(tables.entries.data(),
                          blocks + first / codes::kNibbleBlock * lists_.block_bytes(), padded,
                          sums.data());
      const std::size_t count = std::min(codes::kNibbleBlock, members.size() - first);
      for (std::size_t j = 0; j < count; ++j) {
        scan.scanned.push_back({base + tables.step * sums[j], members[first + j], probe});
      }
    }
  }
  return scan;
}

std::size_t PartitionIndex::narrow_width() const {
  return (params_.dim + codes::kFloatBlock - 1) / codes::kFloatBlock * codes::kFloatBlock;
}

void PartitionIndex::narrow_the_centroids() {
  narrow_centroids_.clear();
  if (params_.metric != MetricKind::Cosine) return;
  const std::size_t partitions = centroids_.size() / params_.dim;
  narrow_centroids_.assign(partitions * narrow_width(), 0.0F);
  for (std::size_t p = 0; p < partitions; ++p) {
    for (std::size_t d = 0; d < params_.dim; ++d) {
      narrow_centroids_[p * narrow_width() + d] =
          static_cast<float>(centroids_[p * params_.dim + d]);
    }
  }
}

bool PartitionIndex::estimates_inner_products() const {
  return params_.metric == MetricKind::InnerProduct;
}

double PartitionIndex::centroid_product(std::span<const double> coded, std::uint32_t p) const {
  return dot_product(coded, std::span(centroids_).subspan(p * params_.dim, params_.dim));
}

double PartitionIndex::lowest_possible(double estimate, double misplaced) const {
  if (estimates_inner_products()) return estimate - misplaced;
  // Squared distances: the point the codes stand for is at least
  // sqrt(estimate) away, the vector within `misplaced` of it.
  const double reach = std::sqrt(std::max(estimate, 0.0)) - misplaced;
  return reach > 0.0 ? reach * reach : 0.0;
}

double PartitionIndex::coded_distance(double value) const {
  switch (params_.metric) {
    case MetricKind::Euclidean:
      return value * value;
    case MetricKind::Cosine:
      return 2.0 - 2.0 * value;  // between vectors of length 1
    case MetricKind::InnerProduct:
      return -value;
  }
  return value;
}

std::vector<PartitionFound> PartitionIndex::search(std::span<const double> query, std::size_t k,
                                                   ScanWidth width) const {
  graph::ExactDistances exact(store_, query);
  struct Ranked {
    RankKey key;
    std::uint64_t id;
    double value;
  };
  std::vector<Ranked> ranked;
  const auto score = [&](std::span<const std::uint32_t> slots) {
    // Every row asked for at once: their cache misses overlap.
    for (const std::uint32_t slot : slots) exact.prefetch(slot);
    std::vector<double> values(slots.size());
    exact.values(slots.data(), slots.size(), values.data());
    ranked.reserve(ranked.size() + slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
      ranked.push_back(
          {rank_key(exact.order().key(values[i])), labels_.label_of(slots[i]), values[i]});
    }
  };
  const auto nearer = [](const Ranked& a, const Ranked& b) {
    return a.key < b.key || (a.key == b.key && a.id < b.id);
  };
  if (!trained()) {
    score(live_slots());
  } else {
    Scan scan = this->scan(query, width);
    score(unplaced_);
    score(scan.exact);
    // The best `reorder` by their codes are scored: kept in a heap whose
    // top is the worst kept, which most estimates fail to beat...
    const std::size_t reorder = std::max<std::size_t>(width.reorder, 1);
    std::vector<Estimate> best;
    best.reserve(std::min(reorder, scan.scanned.size()));
    for (const Scanned& member : scan.scanned) {
      const Estimate estimate{member.estimate, member.slot};
      if (best.size() < reorder) {
        best.push_back(estimate);
        std::push_heap(best.begin(), best.end());
      } else if (estimate < best.front()) {
        std::pop_heap(best.begin(), best.end());
        best.back() = estimate;
        std::push_heap(best.begin(), best.end());
      }
    }
    std::vector<std::uint32_t> slots;
    for (const Estimate& kept : best) slots.push_back(kept.slot);
    score(slots);
    // ...then every other whose codes may misplace it nearer than the kth
    // found: a query far from the data (heavy tails) magnifies every code's
    // error, and the best by codes are then not the best.
    slots.clear();
    if (best.size() == reorder) {
      const bool enough = ranked.size() >= k && k > 0;
      if (enough) {
        std::ranges::nth_element(ranked, ranked.begin() + static_cast<std::ptrdiff_t>(k - 1),
                                 nearer);
      }
      const double kth =
          enough ? coded_distance(ranked[k - 1].value) : std::numeric_limits<double>::infinity();
      for (const Scanned& member : scan.scanned) {
        const bool scored = !(best.front() < Estimate{member.estimate, member.slot});
        if (scored) continue;
        const double lowest =
            lowest_possible(member.estimate - scan.rounding[member.probe], scan.misplaced);
        if (!(lowest > kth)) slots.push_back(member.slot);
      }
    }
    score(slots);
  }
  const std::size_t kept = std::min(k, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + kept, ranked.end(), nearer);
  std::vector<PartitionFound> found;
  for (std::size_t i = 0; i < kept; ++i) found.push_back({ranked[i].id, ranked[i].value});
  return found;
}

}  // namespace halqen::partition

namespace halqen::partition {
namespace {

std::string slot_text(std::uint64_t slot) {
  return "slot " + std::to_string(slot);
}

bool all_finite(std::span<const double> values) {
  return std::ranges::all_of(values, [](double x) { return std::isfinite(x); });
}

}  // namespace

PartitionParts PartitionIndex::parts() const {
  PartitionParts parts;
  parts.params = params_;
  parts.slots = labels_.size();
  parts.rows.resize(parts.slots * params_.dim);
  for (std::uint32_t slot = 0; slot < parts.slots; ++slot) {
    store_.copy_row(slot, parts.rows.data() + std::size_t{slot} * params_.dim);
  }
  const std::span<const std::uint64_t> labels = labels_.explicit_labels();
  parts.labels.assign(labels.begin(), labels.end());
  parts.next_default = labels_.next_default();
  parts.trained_at = trained_at_;
  if (trained()) {
    parts.centroids = centroids_;
    const std::span<const double> codebooks = quantizer_.centroids();
    parts.codebooks.assign(codebooks.begin(), codebooks.end());
    for (std::uint32_t p = 0; p < lists_.partitions(); ++p) {
      const std::span<const std::uint32_t> members = lists_.members(p);
      parts.members.emplace_back(members.begin(), members.end());
      const std::span<const std::uint8_t> blocks = lists_.block_bytes_of(p);
      parts.blocks.emplace_back(blocks.begin(), blocks.end());
      const std::span<const std::uint32_t> exceptions = lists_.exceptions(p);
      parts.exceptions.emplace_back(exceptions.begin(), exceptions.end());
    }
    parts.code_error_limit = code_error_limit_;
  }
  return parts;
}

std::expected<PartitionIndex, InvalidParts> PartitionIndex::from_parts(PartitionParts parts) {
  const auto invalid = [](std::string reason) {
    return std::unexpected(InvalidParts{std::move(reason)});
  };
  auto created = create(parts.params);
  if (!created)
    return invalid("dim " + std::to_string(parts.params.dim) + " or partitions " +
                   std::to_string(parts.params.partitions) + " out of range");
  PartitionIndex index = std::move(*created);
  const std::size_t dim = parts.params.dim;
  if (parts.slots > PartitionLists::kNone || parts.rows.size() % dim != 0 ||
      parts.rows.size() / dim != parts.slots) {
    return invalid(std::to_string(parts.slots) + " slots do not fit the rows given");
  }
  if (parts.labels.empty() && parts.slots != 0 && parts.slots != parts.next_default) {
    return invalid("without labels the next id must be the slot count, " +
                   std::to_string(parts.slots) + ", not " + std::to_string(parts.next_default));
  }
  if (!parts.labels.empty() && parts.labels.size() != parts.slots) {
    return invalid(std::to_string(parts.labels.size()) + " labels for " +
                   std::to_string(parts.slots) + " slots");
  }
  std::optional<graph::LabelMap> labels =
      graph::LabelMap::from_labels(parts.labels, parts.next_default);
  if (!labels) return invalid("the labels repeat an id, or one is past the next id or 2^63 - 1");
  const bool cosine = parts.params.metric == MetricKind::Cosine;
  for (std::uint64_t slot = 0; slot < parts.slots; ++slot) {
    const std::span<const double> row = std::span(parts.rows).subspan(slot * dim, dim);
    const bool free = !parts.labels.empty() && parts.labels[slot] == graph::LabelMap::kNoLabel;
    if (free) {
      index.free_.push_back(static_cast<std::uint32_t>(slot));
    } else if (auto refused = graph::check_row(row, cosine, slot)) {
      return invalid(slot_text(slot) + ": " + graph::describe(*refused, dim));
    }
  }
  graph::NoSearches none;
  index.store_.widen_for(parts.rows, none);
  index.store_.append(std::move(parts.rows), parts.slots);
  for (const std::uint32_t slot : index.free_) index.store_.clear_row(slot);
  index.labels_ = std::move(*labels);
  if (parts.labels.empty() && parts.slots != 0) {
    // from_labels of none holds no slot: the identity of parts.slots ids.
    std::vector<std::uint64_t> ids(parts.slots);
    std::iota(ids.begin(), ids.end(), std::uint64_t{0});
    index.labels_ = graph::LabelMap();
    index.labels_.reserve(ids);
    index.labels_.append(ids);
  }
  index.trained_at_ = parts.trained_at;
  if (parts.centroids.empty()) {
    if (!parts.codebooks.empty() || !parts.members.empty() || !parts.exceptions.empty()) {
      return invalid("codes or lists without centroids");
    }
    index.unplaced_ = index.live_slots();
    return index;
  }
  const std::size_t partitions = parts.centroids.size() / dim;
  if (parts.centroids.size() % dim != 0 || parts.members.size() != partitions ||
      parts.blocks.size() != partitions || parts.exceptions.size() != partitions) {
    return invalid(std::to_string(parts.centroids.size()) + " centroid numbers of dim " +
                   std::to_string(dim) + " for " + std::to_string(parts.members.size()) + " lists");
  }
  if (parts.codebooks.size() != dim * codes::kNibbleCentroids || !all_finite(parts.codebooks) ||
      !all_finite(parts.centroids) || !(parts.code_error_limit >= 0.0)) {
    return invalid("the centroids or code books are not finite, or not dim * 16 numbers");
  }
  std::vector<std::uint8_t> placed(parts.slots, 0);
  for (const std::uint32_t slot : index.free_) placed[slot] = 1;
  const PartitionLists empty(0, index.quantizer_.subspaces());
  for (std::size_t p = 0; p < partitions; ++p) {
    if (parts.blocks[p].size() != empty.blocks_for(parts.members[p].size())) {
      return invalid("partition " + std::to_string(p) + " holds " +
                     std::to_string(parts.blocks[p].size()) + " code bytes for " +
                     std::to_string(parts.members[p].size()) + " members");
    }
    for (const auto& list : {std::cref(parts.members[p]), std::cref(parts.exceptions[p])}) {
      for (const std::uint32_t slot : list.get()) {
        if (slot >= parts.slots || placed[slot] != 0) {
          return invalid("partition " + std::to_string(p) + " lists " + slot_text(slot) +
                         ", which is free, past the slots or in another list");
        }
        placed[slot] = 1;
      }
    }
  }
  for (std::uint32_t slot = 0; slot < parts.slots; ++slot) {
    if (placed[slot] == 0) index.unplaced_.push_back(slot);
  }
  index.centroids_ = std::move(parts.centroids);
  index.narrow_the_centroids();
  index.quantizer_.restore(std::move(parts.codebooks));
  index.code_error_limit_ = parts.code_error_limit;
  index.lists_ = PartitionLists(index.quantizer_.subspaces(), parts.slots, std::move(parts.members),
                                std::move(parts.blocks), std::move(parts.exceptions));
  return index;
}

}  // namespace halqen::partition
