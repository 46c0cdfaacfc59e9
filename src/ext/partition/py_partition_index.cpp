// PartitionIndex: the partition core (partition/partition_index.hpp) behind
// the call protocol, with GraphIndex's vocabulary: vectors in as 2-D arrays
// or sequences of vectors, answers out as numpy arrays.
#include "ext/partition/py_partition_index.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/job_runner.hpp"
#include "ext/graph/py_graph_arguments.hpp"
#include "ext/graph/py_labelled_index.hpp"
#include "graph/graph_error.hpp"
#include "graph/row_rules.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/metrics.hpp"
#include "module/batch_arguments.hpp"
#include "module/build.hpp"
#include "module/cancel_event.hpp"
#include "module/entry.hpp"
#include "module/numpy_array.hpp"
#include "module/progress_bar.hpp"
#include "module/py_metadata.hpp"
#include "module/released_run.hpp"
#include "module/thread_count.hpp"
#include "module/vector_list.hpp"
#include "parallel/piece_runner.hpp"

namespace halqen::py {
namespace {

using partition::PartitionIndex;
using partition::PartitionParams;
using partition::ScanWidth;

constexpr std::uint64_t kDefaultK = 10;
// How hard a search looks unless told: 8 partitions.
constexpr std::uint64_t kDefaultEf = 128;
// ef's rule: max(ef, k) candidates looked at, one partition scanned per
// kCandidatesPerProbe of them...
constexpr std::uint64_t kCandidatesPerProbe = 16;
// ...and scored exactly, one in kLookedPerScored of ef (the bound on what
// codes could hide adds those that need it).
constexpr std::uint64_t kLookedPerScored = 2;

constexpr std::array<std::string_view, 5> kNewParameters{"dim", "metric", "partitions", "seed",
                                                         "schema"};
constexpr std::array<std::string_view, 5> kAddParameters{"vectors", "ids", "metadata", "threads",
                                                         "progress"};
constexpr std::array<std::string_view, 8> kSearchParameters{
    "queries", "k", "ef", "filter", "threads", "cancel", "probes", "reorder"};
constexpr std::array<std::string_view, 2> kTrainParameters{"sample", "threads"};
constexpr std::array<std::string_view, 2> kGetVectorsParameters{"ids", "dtype"};
constexpr std::array<std::string_view, 1> kRemoveParameters{"ids"};
constexpr std::array<std::string_view, 1> kKeyParameters{"id"};

constexpr FunctionDescription kNew{"PartitionIndex", "__new__", kNewParameters, 2};
constexpr FunctionDescription kAdd{"PartitionIndex", "add", kAddParameters, 1};
constexpr FunctionDescription kSearch{"PartitionIndex", "search", kSearchParameters, 1};
constexpr FunctionDescription kTrain{"PartitionIndex", "train", kTrainParameters, 1};
constexpr FunctionDescription kGetVectors{"PartitionIndex", "get_vectors", kGetVectorsParameters,
                                          1};
constexpr FunctionDescription kRemove{"PartitionIndex", "remove", kRemoveParameters, 1};
constexpr FunctionDescription kIds{"PartitionIndex", "ids", {}, 0};
constexpr FunctionDescription kContains{"PartitionIndex", "__contains__", kKeyParameters, 1};

constexpr const char* kClassDoc =
    "PartitionIndex(dim, metric, partitions=None, seed=0, schema=None)\n--\n\n"
    "An approximate nearest-neighbour index that builds in the time of a\n"
    "k-means: the vectors split among partitions (the nearest of their\n"
    "k-means centroids takes each), each kept with 4-bit codes of its\n"
    "difference from its centroid. A search scans the codes of the\n"
    "partitions nearest the query, then scores the best candidates exactly,\n"
    "so every returned value is the metric's exact float64 value. It suits\n"
    "low-dimensional data (up to about 100 dimensions) and indexes rebuilt\n"
    "often; GraphIndex answers faster at high dimensions.\n\n"
    "metric is \"euclidean\", \"angular\" (cosine similarity) or \"inner_product\".\n"
    "partitions: how many once trained; None: about 2 * sqrt(n) for the n\n"
    "vectors held at the training. The index trains on the first add that\n"
    "brings it to 4096 vectors (until then a search scores every vector\n"
    "exactly), and again whenever it has grown to 4 times what it was last\n"
    "trained on, so that its partitions follow the data; train(sample)\n"
    "trains it on a sample instead. The same calls with the same seed give\n"
    "the same index whatever the number of threads. schema must be None:\n"
    "metadata filters are GraphIndex's.";
constexpr const char* kAddDoc =
    "add($self, vectors, ids=None, metadata=None, threads=None, progress=False)\n--\n\n"
    "Add vectors (a 2-D array of any real dtype, or a sequence of vectors);\n"
    "one 1-D array or sequence of dim numbers is added as one vector.\n\n"
    "ids are non-negative 64-bit ids, returned by search; by default they\n"
    "continue from one past the largest id used so far. An id already\n"
    "present is replaced. An id given twice in one call raises ValueError.\n"
    "Vectors go into the slots of removed ones first, lowest first. NaN or\n"
    "infinite components, and under \"angular\" vectors whose float64 squared\n"
    "norm is 0, raise ValueError; on any such error nothing is added.\n\n"
    "A training and the placing of vectors in partitions run on `threads`\n"
    "worker threads (all usable CPUs by default) with the interpreter lock\n"
    "released; a call on the index from another thread meanwhile raises\n"
    "RuntimeError (it is borrowed). Ctrl-C stops the call with\n"
    "KeyboardInterrupt: while it stores the vectors, those of the batches\n"
    "stored before are held and the others not (an id they would have\n"
    "replaced keeps its old vector); in a training or placing, every vector\n"
    "of the call is held and found by searches, which score the vectors not\n"
    "yet placed exactly, and the next add or train completes the work.\n"
    "metadata must be None (no schema);\n"
    "progress=True draws a progress bar on stderr.";
constexpr const char* kSearchDoc =
    "search($self, queries, k=10, ef=None, filter=None, threads=None, cancel=None,\n"
    "       probes=None, reorder=None)\n--\n\n"
    "The k nearest stored vectors of each query, as (ids, distances): numpy\n"
    "arrays of shape (n, k), int64 and float64, or (k,) for one 1-D query.\n"
    "Where fewer than k vectors are held a row is padded with id -1 and +inf\n"
    "(euclidean) or -inf (similarities). Ties come in the order of the ids.\n\n"
    "ef (default 128) is how hard to look: the ceil(max(ef, k) / 16) partitions\n"
    "nearest the query are scanned, and the best max(ef / 2, k) of their\n"
    "vectors by their codes are scored exactly, with every other whose codes\n"
    "could be misleading enough to hide a nearer one. Experts may give probes\n"
    "(partitions scanned) and reorder (candidates scored) instead; either\n"
    "one given replaces what ef would set. A query with a NaN or infinite component,\n"
    "or under the angular metric a query whose float64 squared norm is 0,\n"
    "raises ValueError. filter must be None. cancel, an object with\n"
    "is_set() such as a threading.Event, ends a search of several queries\n"
    "with concurrent.futures.CancelledError once set.";
constexpr const char* kTrainDoc =
    "train($self, sample, threads=None)\n--\n\n"
    "Train the partitions and codes on sample (vectors as add takes them, at\n"
    "least 16, and at least the partitions asked for) rather than on the\n"
    "vectors held, and place every vector held. Later adds are placed by\n"
    "this training until the index grows to 4 times the larger of the\n"
    "sample and the vectors held now. Ctrl-C stops it with\n"
    "KeyboardInterrupt and the index as it was.";
constexpr const char* kGetVectorsDoc =
    "get_vectors($self, ids, dtype=None)\n--\n\n"
    "The stored vectors of ids, as an array of shape (len(ids), dim): float64,\n"
    "or float32 with dtype=numpy.float32. An unknown id raises KeyError.";
constexpr const char* kIdsDoc =
    "ids($self)\n--\n\n"
    "The ids of the stored vectors, as a 1-D int64 array in slot order.";
constexpr const char* kRemoveDoc =
    "remove($self, ids)\n--\n\n"
    "Remove the vectors of ids (a sequence of ids or a 1-D integer array);\n"
    "no search returns them again. An id given twice is removed once. An\n"
    "unknown id raises KeyError naming it, and nothing is removed. The\n"
    "slots freed are filled by later additions.";
constexpr const char* kPartitionsDoc = "The partitions of the last training (0 before one).";
constexpr const char* kDimDoc = "The length of every vector.";
constexpr const char* kMetricDoc = "The metric: 'euclidean', 'angular' or 'inner_product'.";

PyResult<void> check_lengths(const PartitionParams& params, const VectorList& vectors) {
  return check_lengths(params.dim, vectors);
}

PyResult<PartitionParams> settle(std::uint64_t dim, std::string metric,
                                 std::optional<std::uint64_t> partitions,
                                 std::optional<std::uint64_t> seed, std::optional<Schema> schema) {
  const std::optional<MetricKind> kind = metric_with_hnsw_name(metric);
  if (!kind) {
    return std::unexpected(value_error("Unsupported metric '" + metric +
                                       "': expected 'euclidean', 'angular' or 'inner_product'"));
  }
  if (schema) {
    return std::unexpected(
        value_error("PartitionIndex keeps no metadata, so it takes no schema: use GraphIndex for "
                    "metadata filters"));
  }
  if (dim == 0) return std::unexpected(value_error("dim must be at least 1, got 0"));
  if (dim > partition::kMaxDim) {
    return std::unexpected(value_error("dim must be at most " + std::to_string(partition::kMaxDim) +
                                       ", got " + std::to_string(dim) +
                                       ": a saved row's bytes (8 per value) must fit in 64 bits"));
  }
  if (partitions && (*partitions == 0 || *partitions > partition::kMaxPartitions)) {
    return std::unexpected(value_error("partitions must be None (about 2 * sqrt(n)) or 1 to " +
                                       std::to_string(partition::kMaxPartitions) + ", got " +
                                       std::to_string(*partitions)));
  }
  return PartitionParams{
      .dim = dim, .metric = *kind, .partitions = partitions.value_or(0), .seed = seed.value_or(0)};
}

PyResult<PartitionIndex> construct(std::uint64_t dim, std::string metric,
                                   std::optional<std::uint64_t> partitions,
                                   std::optional<std::uint64_t> seed,
                                   std::optional<Schema> schema) {
  HALQEN_TRY_ASSIGN(const PartitionParams params,
                    settle(dim, std::move(metric), partitions, seed, std::move(schema)));
  auto index = PartitionIndex::create(params);
  if (!index) return std::unexpected(value_error(graph::describe(index.error(), dim)));
  return std::move(*index);
}

// The rows of `vectors` after the checks that need the interpreter.
PyResult<std::vector<double>> rows_of(const PartitionParams& params, VectorList vectors) {
  HALQEN_TRY_VOID(check_lengths(params, vectors));
  const std::size_t count = vectors.size();
  return std::move(std::move(vectors).take_leading(count).values);
}

PyResult<void> check_no_metadata(
    const std::optional<std::vector<std::vector<NamedObject>>>& given) {
  if (!given) return {};
  return std::unexpected(value_error(
      "No schema provided in PartitionIndex; cannot use metadata (GraphIndex keeps metadata)"));
}

PyResult<void> refused_or_stopped(const std::expected<void, graph::GraphError>& done,
                                  const char* call, std::uint64_t dim) {
  if (done) return {};
  if (done.error().kind == graph::GraphErrorKind::Interrupted) {
    return std::unexpected(
        PyErr::new_err(PyExc_KeyboardInterrupt, std::string(call) + " interrupted"));
  }
  return std::unexpected(value_error(graph::describe(done.error(), dim)));
}

// Runs a change of the index on `threads` workers, the lock released.
template <class Change>
PyResult<std::expected<void, graph::GraphError>> run_change(std::optional<ThreadCount> threads,
                                                            const Change& change) {
  std::expected<void, graph::GraphError> done;
  const std::size_t workers = worker_threads(threads);
  HALQEN_TRY_VOID(run_released_interruptible([&](Interrupt& interrupt) {
    graph::ThreadRunner runner(workers, interrupt);
    done = change(runner);
  }));
  return done;
}

PyResult<NoneResult> add(PartitionIndex& self, QueryBatch vectors, std::optional<IdList> ids,
                         std::optional<std::vector<std::vector<NamedObject>>> metadata,
                         std::optional<ThreadCount> threads, std::optional<Flag> progress) {
  HALQEN_TRY_VOID(check_no_metadata(metadata));
  HALQEN_TRY_ASSIGN(const std::vector<double> rows,
                    rows_of(self.params(), std::move(vectors.rows)));
  std::optional<std::vector<std::uint64_t>> given;
  if (ids) given = std::move(ids->values);
  if (rows.empty() && (!given || given->empty())) return NoneResult{};
  std::optional<ProgressBar> bar;
  if (progress && progress->on) bar.emplace();
  const std::size_t count = rows.size() / self.dim();
  HALQEN_TRY_ASSIGN(const auto added, run_change(threads, [&](graph::JobRunner& runner) {
                      return self.add(rows, std::move(given), runner);
                    }));
  if (bar) bar->update(count, count);
  HALQEN_TRY_VOID(refused_or_stopped(added, "add", self.dim()));
  return NoneResult{};
}

PyResult<NoneResult> train(PartitionIndex& self, QueryBatch sample,
                           std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const std::vector<double> rows, rows_of(self.params(), std::move(sample.rows)));
  const std::size_t count = rows.size() / self.dim();
  const std::size_t least =
      std::max<std::size_t>(codes::kNibbleCentroids, self.params().partitions);
  if (count < least) {
    return std::unexpected(value_error("train needs at least " + std::to_string(least) +
                                       " vectors (16, and one per partition " + "asked for), got " +
                                       std::to_string(count)));
  }
  const bool cosine = self.params().metric == MetricKind::Cosine;
  for (std::size_t row = 0; row < count; ++row) {
    const std::span<const double> values = std::span(rows).subspan(row * self.dim(), self.dim());
    if (auto refused = graph::check_row(values, cosine, row)) {
      return std::unexpected(value_error(graph::describe(*refused, self.dim())));
    }
  }
  HALQEN_TRY_ASSIGN(const auto trained, run_change(threads, [&](graph::JobRunner& runner) {
                      return self.train(rows, runner);
                    }));
  HALQEN_TRY_VOID(refused_or_stopped(trained, "train", self.dim()));
  return NoneResult{};
}

// How wide a search of k looks: by ef's rule, or as an expert gave it.
PyResult<ScanWidth> width_of(std::uint64_t k, std::optional<SearchWidth> ef,
                             std::optional<SearchWidth> probes,
                             std::optional<SearchWidth> reorder) {
  for (const auto& [name, given] :
       {std::pair{"ef", ef}, {"probes", probes}, {"reorder", reorder}}) {
    if (given && given->value == 0) {
      return std::unexpected(value_error(std::string(name) + " must be at least 1, got 0"));
    }
  }
  const std::uint64_t looked = std::max<std::uint64_t>(ef ? ef->value : kDefaultEf, k);
  const std::uint64_t probed = (looked + kCandidatesPerProbe - 1) / kCandidatesPerProbe;
  const std::uint64_t scored = std::max<std::uint64_t>(looked / kLookedPerScored, k);
  return ScanWidth{.probes = probes ? probes->value : probed,
                   .reorder = std::max<std::uint64_t>(reorder ? reorder->value : scored, k)};
}

PyResult<void> check_queries(const PartitionParams& params, const VectorList& queries) {
  HALQEN_TRY_VOID(check_lengths(params, queries));
  return check_queries(params.metric == MetricKind::Cosine, queries);
}

PyResult<void> check_no_filter(const std::optional<FilterArgument>& filter) {
  if (!filter) return {};
  return std::unexpected(value_error(
      "No schema provided in PartitionIndex; cannot use metadata filtering (GraphIndex filters)"));
}

void answer(const PartitionIndex& self, std::span<const double> query, std::size_t k,
            ScanWidth width, std::span<std::int64_t> ids, std::span<double> values) {
  const double padding = self.params().metric == MetricKind::Euclidean
                             ? std::numeric_limits<double>::infinity()
                             : -std::numeric_limits<double>::infinity();
  std::ranges::fill(ids, -1);
  std::ranges::fill(values, padding);
  const std::vector<partition::PartitionFound> found = self.search(query, k, width);
  for (std::size_t i = 0; i < found.size(); ++i) {
    ids[i] = static_cast<std::int64_t>(found[i].id);
    values[i] = found[i].value;
  }
}

PyResult<std::pair<Ref, Ref>> search(
    const PartitionIndex& self, QueryBatch queries, std::optional<ResultCount> k_given,
    std::optional<SearchWidth> ef, std::optional<FilterArgument> filter,
    std::optional<ThreadCount> threads, std::optional<CancelEvent> cancel,
    std::optional<SearchWidth> probes, std::optional<SearchWidth> reorder) {
  const std::uint64_t k = k_given ? k_given->value : kDefaultK;
  const std::size_t count = queries.rows.size();
  HALQEN_TRY_VOID(check_result_size(count, k));
  HALQEN_TRY_ASSIGN(const ScanWidth width, width_of(k, ef, probes, reorder));
  HALQEN_TRY_VOID(check_queries(self.params(), queries.rows));
  HALQEN_TRY_VOID(check_no_filter(filter));
  HALQEN_TRY_VOID(check_not_cancelled(cancel));
  const auto run_query = [&](std::size_t q, std::span<std::int64_t> ids, std::span<double> values) {
    answer(self, queries.rows.numbers_of(q), k, width, ids, values);
  };
  return answer_rows(count, queries.single, k, run_query, worker_threads(threads),
                     cancel ? &*cancel : nullptr);
}

PyResult<Ref> get_vectors(const PartitionIndex& self, IdList ids,
                          std::optional<VectorDtype> dtype) {
  HALQEN_TRY_ASSIGN(const std::vector<std::uint32_t> slots, slots_of(self, ids.values));
  if (dtype && dtype->single_precision) return vectors_of<float>(self, slots, "float32");
  return vectors_of<double>(self, slots, "float64");
}

PyResult<Ref> stored_ids(const PartitionIndex& self) {
  return id_array(self);
}

PyResult<NoneResult> remove(PartitionIndex& self, IdList ids) {
  const auto removed = self.remove(ids.values);
  if (!removed) return std::unexpected(key_error(removed.error().detail));
  return NoneResult{};
}

PyResult<std::uint64_t> length(const PartitionIndex& self) {
  return self.size();
}

PyResult<bool> contains(const PartitionIndex& self, IdKey key) {
  return key.id && self.slot_of(*key.id).has_value();
}

std::string_view metric_name(const PartitionIndex& self) {
  return metric_row(self.params().metric).hnsw_name;
}

PyResult<Ref> get_metric(const PartitionIndex& self) {
  return text_of(metric_name(self));
}

PyResult<std::uint64_t> get_dim(const PartitionIndex& self) {
  return self.dim();
}

PyResult<std::uint64_t> get_partitions(const PartitionIndex& self) {
  return self.partitions();
}

PyResult<Ref> describe(const PartitionIndex& self) {
  const std::string text = "PartitionIndex(dim=" + std::to_string(self.dim()) + ", metric='" +
                           std::string(metric_name(self)) +
                           "', count=" + std::to_string(self.size()) +
                           ", partitions=" + std::to_string(self.partitions()) + ")";
  return text_of(text);
}

PyObject* repr_slot(PyObject* self) {
  return getter_entry<describe>(self, nullptr);
}

PyObject* iter_slot(PyObject* self) {
  Ref ids = Ref::steal(getter_entry<id_list<PartitionIndex>>(self, nullptr));
  return ids ? PyObject_GetIter(ids.get()) : nullptr;
}

// add's and search's checks on the settings of an index holding nothing.
PyResult<void> check_add(const PartitionParams& params, QueryBatch vectors,
                         std::optional<IdList> ids,
                         std::optional<std::vector<std::vector<NamedObject>>> metadata,
                         std::optional<ThreadCount> /*threads*/, std::optional<Flag> /*progress*/) {
  HALQEN_TRY_VOID(check_no_metadata(metadata));
  HALQEN_TRY_ASSIGN(const std::vector<double> rows, rows_of(params, std::move(vectors.rows)));
  const PartitionIndex empty = PartitionIndex::create(params).value();
  std::optional<std::vector<std::uint64_t>> given;
  if (ids) given = std::move(ids->values);
  if (auto refused = empty.check_addition(rows, given)) {
    return std::unexpected(value_error(graph::describe(*refused, params.dim)));
  }
  return {};
}

PyResult<void> check_search(const PartitionParams& params, QueryBatch queries,
                            std::optional<ResultCount> k, std::optional<SearchWidth> ef,
                            std::optional<FilterArgument> filter,
                            std::optional<ThreadCount> /*threads*/,
                            std::optional<CancelEvent> /*cancel*/,
                            std::optional<SearchWidth> probes, std::optional<SearchWidth> reorder) {
  const std::uint64_t wanted = k ? k->value : kDefaultK;
  HALQEN_TRY_VOID(check_result_size(queries.rows.size(), wanted));
  HALQEN_TRY_VOID(width_of(wanted, ef, probes, reorder));
  HALQEN_TRY_VOID(check_queries(params, queries.rows));
  return check_no_filter(filter);
}

constexpr CheckEntry<PartitionParams> kChecks[] = {
    {"add", check_entry<check_add, kAdd>},
    {"search", check_entry<check_search, kSearch>},
};

PyMethodDef methods[] = {
    method_def<add, kAdd>("add", kAddDoc),
    method_def<search, kSearch>("search", kSearchDoc),
    method_def<train, kTrain>("train", kTrainDoc),
    method_def<get_vectors, kGetVectors>("get_vectors", kGetVectorsDoc),
    method_def<remove, kRemove>("remove", kRemoveDoc),
    method_def<stored_ids, kIds>("ids", kIdsDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"dim", getter_entry<get_dim>, nullptr, kDimDoc, nullptr},
    {"metric", getter_entry<get_metric>, nullptr, kMetricDoc, nullptr},
    {"partitions", getter_entry<get_partitions>, nullptr, kPartitionsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kExtraSlots[] = {
    {Py_tp_getset, properties},
    {Py_tp_repr, reinterpret_cast<void*>(repr_slot)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_slot)},
    {Py_sq_length, reinterpret_cast<void*>(length_entry<length>)},
    {Py_sq_contains, reinterpret_cast<void*>(contains_entry<contains, kContains>)},
};

}  // namespace

PyObject* PyKind<PartitionIndex>::create_type() {
  return create_class_type<construct, kNew>("halqen_ext.PartitionIndex", kClassDoc, methods,
                                            kExtraSlots);
}

PyResult<PartitionParams> PyKind<PartitionIndex>::settings(PyObject* kwargs) {
  return settings_entry<settle, kNew>(kwargs);
}

std::span<const CheckEntry<PartitionParams>> PyKind<PartitionIndex>::checks() {
  return kChecks;
}

PyResult<BatchHits> PyKind<PartitionIndex>::batch_hits(const PartitionIndex& /*index*/,
                                                       const BatchRequest& /*request*/) {
  return std::unexpected(PyErr::new_err(
      PyExc_TypeError,
      "search_batch and search_ids take a PyFlat or PyHNSW; a PartitionIndex searches many "
      "queries at once itself: PartitionIndex.search(queries, k, threads=...) with a 2-D array "
      "of queries"));
}

}  // namespace halqen::py
