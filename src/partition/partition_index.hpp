// A partition index: the vectors split among partitions by k-means (the
// nearest centroid takes each), each vector's difference from its centroid
// kept as 4-bit product codes, and a search that scans the codes of the
// partitions nearest the query, then scores the best candidates exactly
// from the stored rows, so that every distance returned is exact.
//
// Until it holds kRowsToTrain vectors the index is not trained and a
// search scores every vector exactly. The first add that reaches that many
// trains it on the vectors then held; one that finds the index grown to
// kRetrainGrowth times what it was trained on trains it again, so that
// partitions and codes follow the data as it grows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codes/kmeans.hpp"
#include "codes/product_quantizer.hpp"
#include "graph/label_map.hpp"
#include "graph/vector_store.hpp"
#include "metrics/metrics.hpp"
#include "partition/partition_lists.hpp"

namespace halqen::partition {

inline constexpr std::size_t kRowsToTrain = 4096;
inline constexpr std::size_t kRetrainGrowth = 4;

struct PartitionParams {
  std::size_t dim = 0;
  MetricKind metric = MetricKind::Euclidean;
  // Partitions once trained; 0: about 2 * sqrt(vectors held then).
  std::size_t partitions = 0;
  std::uint64_t seed = 0;
};

// How hard a search looks: the partitions whose codes it scans, and the
// candidates it then scores exactly.
struct ScanWidth {
  std::size_t probes = 1;
  std::size_t reorder = 1;
};

struct PartitionFound {
  std::uint64_t id;
  double value;  // the metric's, exact
};

class PartitionIndex {
 public:
  // Precondition: dim >= 1.
  explicit PartitionIndex(PartitionParams params);

  const PartitionParams& params() const { return params_; }
  std::size_t size() const { return labels_.size() - free_.size(); }
  bool trained() const { return quantizer_.trained(); }
  std::size_t partitions() const { return trained() ? lists_.partitions() : 0; }
  std::optional<std::uint32_t> slot_of(std::uint64_t id) const;

  // Adds `ids.size()` rows of dim numbers. Preconditions: every number
  // finite, no zero row under the cosine, the ids new and distinct.
  // `loop` runs the parts of a training that may run at once.
  void add(std::span<const double> rows, std::span<const std::uint64_t> ids,
           const codes::KMeansLoop& loop = {});
  // Precondition: every id held, each once.
  void remove(std::span<const std::uint64_t> ids);

  // The k nearest (ties to the lower id), each with its exact value.
  std::vector<PartitionFound> search(std::span<const double> query, std::size_t k,
                                     ScanWidth width) const;

 private:
  // The vector a slot's codes and partition are taken from: its row, or
  // under the cosine its row scaled to length 1.
  std::vector<double> coded_row(std::uint32_t slot) const;
  std::vector<double> coded_query(std::span<const double> query) const;
  void train(const codes::KMeansLoop& loop);
  // Puts each slot in its nearest partition's list with its codes.
  void place(std::span<const std::uint32_t> slots, const codes::KMeansLoop& loop);
  // The partitions are found by the euclidean distance to their centroids,
  // or by the inner product under it; keys[p] smaller for nearer p (one
  // per partition).
  MetricKind coarse_metric() const;
  void coarse_keys(std::span<const double> vector, std::span<double> keys) const;
  std::vector<std::uint32_t> candidates(std::span<const double> query, ScanWidth width) const;
  std::vector<std::uint32_t> live_slots() const;

  PartitionParams params_;
  graph::VectorStore store_;
  graph::LabelMap labels_;
  std::vector<std::uint32_t> free_;  // ascending
  std::vector<double> centroids_;    // partitions * dim
  codes::ProductQuantizer quantizer_;
  PartitionLists lists_;
  std::size_t trained_at_ = 0;
};

}  // namespace halqen::partition
