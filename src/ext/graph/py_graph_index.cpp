// GraphIndex: the graph core (graph/graph_index.hpp) behind the call
// protocol. Vectors come in as 2-D arrays or sequences of vectors; results
// go out as numpy arrays.
#include "ext/graph/py_graph_index.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ext/graph/py_filter_expression.hpp"
#include "ext/graph/py_graph_arguments.hpp"
#include "ext/graph/py_labelled_index.hpp"
#include "filter/filter.hpp"
#include "graph/graph_index.hpp"
#include "graph/graph_params.hpp"
#include "graph/row_rules.hpp"
#include "metrics/metric_table.hpp"
#include "metrics/metrics.hpp"
#include "module/batch_arguments.hpp"
#include "module/build.hpp"
#include "module/cancel_event.hpp"
#include "module/entry.hpp"
#include "module/gate_pass.hpp"
#include "module/numpy_array.hpp"
#include "module/progress_bar.hpp"
#include "module/py_metadata.hpp"
#include "module/released_run.hpp"
#include "module/thread_count.hpp"
#include "module/vector_list.hpp"
#include "parallel/piece_runner.hpp"

namespace halqen::py {
namespace {

using graph::GraphIndex;
using MetadataPairs = std::vector<NamedObject>;
using Pass = graph::ChangeGate::Pass;

constexpr std::uint64_t kDefaultK = 10;

constexpr std::array<std::string_view, 9> kNewParameters{
    "dim", "metric", "m", "ef_construction", "ef_search", "seed", "schema", "walk", "storage"};
// Indexed by graph::WalkKind.
constexpr std::array<std::string_view, graph::kWalkKindCount> kWalkNames{"exact", "float32", "sq8"};
// The walk an index takes unless told otherwise.
constexpr graph::WalkKind kDefaultWalk = graph::WalkKind::Sq8;
// The widths rows may be held to; the default (None) adapts.
constexpr std::array<std::string_view, 2> kStorageNames{"float32", "float64"};
constexpr std::array<std::string_view, 5> kAddParameters{"vectors", "ids", "metadata", "threads",
                                                         "progress"};
constexpr std::array<std::string_view, 7> kSearchParameters{"queries", "k",      "ef",     "filter",
                                                            "threads", "cancel", "filters"};
constexpr std::array<std::string_view, 5> kSearchByIdParameters{"ids", "k", "ef", "filter",
                                                                "threads"};
constexpr std::array<std::string_view, 2> kGetVectorsParameters{"ids", "dtype"};
constexpr std::array<std::string_view, 2> kRemoveParameters{"ids", "threads"};
constexpr std::array<std::string_view, 2> kUpdateMetadataParameters{"ids", "metadata"};
constexpr std::array<std::string_view, 1> kKeyParameters{"id"};
constexpr std::array<std::string_view, 1> kEfParameters{"ef_search"};

constexpr FunctionDescription kNew{"GraphIndex", "__new__", kNewParameters, 2};
constexpr FunctionDescription kAdd{"GraphIndex", "add", kAddParameters, 1};
constexpr FunctionDescription kSearch{"GraphIndex", "search", kSearchParameters, 1};
constexpr FunctionDescription kSearchById{"GraphIndex", "search_by_id", kSearchByIdParameters, 1};
constexpr FunctionDescription kGetVectors{"GraphIndex", "get_vectors", kGetVectorsParameters, 1};
constexpr FunctionDescription kRemove{"GraphIndex", "remove", kRemoveParameters, 1};
constexpr FunctionDescription kUpdateMetadata{"GraphIndex", "update_metadata",
                                              kUpdateMetadataParameters, 2};
constexpr FunctionDescription kIds{"GraphIndex", "ids", {}, 0};
constexpr FunctionDescription kContains{"GraphIndex", "__contains__", kKeyParameters, 1};
constexpr FunctionDescription kSetEf{"GraphIndex", "ef_search", kEfParameters, 1};
constexpr std::array<std::string_view, 3> kLabelsParameters{"count", "ids", "metadata"};
constexpr FunctionDescription kLabels{"GraphIndex", "add", kLabelsParameters, 1};
constexpr std::array<std::string_view, 1> kAddWidthParameters{"width"};
constexpr FunctionDescription kAddWidth{"GraphIndex", "add", kAddWidthParameters, 1};

constexpr const char* kClassDoc =
    "GraphIndex(dim, metric, m=16, ef_construction=200, ef_search=64, seed=0, schema=None,\n"
    "           walk='sq8', storage=None)\n--\n\n"
    "An approximate nearest-neighbour index: a layered graph of bounded degree\n"
    "(at most m links per node on the upper layers, 2m on the bottom one).\n"
    "dim is 1 to 2**61 - 1 (a saved row's 8-byte values must fit 64 bits).\n\n"
    "metric is \"euclidean\", \"angular\" (cosine similarity) or \"inner_product\".\n"
    "Results come nearest first, which for the two similarities means most\n"
    "similar first; every returned value is the metric's exact float64 value.\n"
    "The same additions with the same seed build the same graph whatever the\n"
    "number of threads.\n\n"
    "walk is what a search's walk reads: \"sq8\" (8-bit codes of the vectors),\n"
    "\"float32\" (float32 copies) or \"exact\" (the float64 vectors). A walk on\n"
    "codes moves fewer bytes; its best candidates are then scored exactly, so\n"
    "the values returned are exact whatever the walk.\n\n"
    "storage is how the vectors are kept. None (the default): as float32\n"
    "while every number added is exactly a float32 value (any float32 array\n"
    "is), which loses nothing, then as float64 from the first number that is\n"
    "not (a whole copy, once). \"float64\": float64 from the start.\n"
    "\"float32\": float32 whatever comes, each number rounded to the nearest\n"
    "float32 as it is added (answers are then exact for the rounded vectors).\n"
    "index.storage says which is in use.";
constexpr const char* kAddDoc =
    "add($self, vectors, ids=None, metadata=None, threads=None, progress=False)\n--\n\n"
    "Add vectors (a 2-D array of any real dtype, or a sequence of vectors);\n"
    "one 1-D array or sequence of dim numbers is added as one vector.\n\n"
    "ids are non-negative 64-bit ids, returned by search; by default they\n"
    "continue from one past the largest id used so far. An id already\n"
    "present is replaced: its old vector and metadata are removed (as by\n"
    "remove) and the new ones added. An id given twice in one call raises\n"
    "ValueError. Vectors go into the slots of removed ones first, lowest\n"
    "first, so memory follows the live count. metadata is one list of\n"
    "(name, value) pairs per vector (the index needs a schema). NaN or\n"
    "infinite components, and under \"angular\" vectors whose float64 squared\n"
    "norm is 0 (zero vectors, or ones too small to square), raise ValueError.\n"
    "On any such error nothing is added.\n\n"
    "The vectors are inserted in batches on `threads` worker threads (all\n"
    "usable CPUs by default) with the interpreter lock released. Searches\n"
    "from other threads are answered between its steps; other changes wait\n"
    "for it. An index opened with read_index(path, mmap=True) is read-only\n"
    "and raises ValueError (copy.copy(index) can change). Ctrl-C stops\n"
    "the call at the next batch boundary with KeyboardInterrupt: the batches\n"
    "completed stay in the index, searchable; the rest is not added, and an\n"
    "id it would have replaced keeps its old vector and metadata.\n"
    "progress=True draws a progress bar on stderr.";
constexpr const char* kSearchDoc =
    "search($self, queries, k=10, ef=None, filter=None, threads=None, cancel=None,\n"
    "       filters=None)\n--\n\n"
    "The k nearest stored vectors of each query, as (ids, distances).\n\n"
    "For a 2-D input both are numpy arrays of shape (n, k), int64 and float64;\n"
    "for one 1-D query, of shape (k,). Where fewer than k vectors qualify a row\n"
    "is padded with id -1 and +inf (euclidean) or -inf (similarities); any k\n"
    "pads so while the result holds at most 2^31 entries (queries times k),\n"
    "else ValueError. k=0 gives empty rows.\n"
    "ef (index.ef_search by default, never below k) is the width of the walk,\n"
    "which never exceeds the number of vectors held.\n"
    "A query with a NaN or infinite component, or under the angular metric a\n"
    "query whose float64 squared norm is 0, raises ValueError.\n"
    "filter=(name, value) returns only vectors whose attribute equals value,\n"
    "filter=(name, [value, ...]) (any sequence of values) those whose attribute\n"
    "equals one of the values; filter={\"year\": {\"$gte\": 2020}, ...} an expression\n"
    "($eq $ne $gt $gte $lt $lte $in $nin, $and $or $not, $id); filters=[f, ...]\n"
    "one filter per query. Only matches are returned,\n"
    "k of them whenever at least k match. Few matches are scored exactly; many\n"
    "are found by a walk over the graph, finished exactly if it falls short.\n"
    "cancel, an object with is_set() such as a threading.Event, lets another\n"
    "thread end the search: it is asked before the search and every few\n"
    "milliseconds during it, and once set the search raises\n"
    "concurrent.futures.CancelledError (Ctrl-C raises KeyboardInterrupt).";
constexpr const char* kSearchByIdDoc =
    "search_by_id($self, ids, k=10, ef=None, filter=None, threads=None)\n--\n\n"
    "More like these: search with the stored vectors of ids as the queries,\n"
    "each id left out of its own answer (other ids holding the very same\n"
    "vector stay in). (ids, distances) as search gives them: of shape\n"
    "(len(ids), k), or (k,) for one id given as an integer. An unknown id\n"
    "raises KeyError.";
constexpr const char* kGetVectorsDoc =
    "get_vectors($self, ids, dtype=None)\n--\n\n"
    "The stored vectors of ids, as an array of shape (len(ids), dim): float64,\n"
    "or float32 with dtype=numpy.float32. An unknown id raises KeyError.";
constexpr const char* kIdsDoc =
    "ids($self)\n--\n\n"
    "The ids of the stored vectors, as a 1-D int64 array in the order the\n"
    "index keeps them (not sorted). Iterating over the index gives the same\n"
    "ids as ints, as they were when the iteration began.";
constexpr const char* kUpdateMetadataDoc =
    "update_metadata($self, ids, metadata)\n--\n\n"
    "Give the vectors of ids new metadata (one list of (name, value) pairs per\n"
    "id, as add takes it), leaving their vectors as they are: later searches\n"
    "filter by the new values. An id given twice takes its last metadata. An\n"
    "unknown id raises KeyError naming it, and nothing is changed.";
constexpr const char* kRemoveDoc =
    "remove($self, ids, threads=None)\n--\n\n"
    "Remove the vectors of ids (a sequence of ids or a 1-D integer array);\n"
    "no search returns them again. An id given twice is removed once. An\n"
    "unknown id raises KeyError naming it, and nothing is removed. The\n"
    "nodes that linked to a removed one choose their links again, on\n"
    "`threads` worker threads (all usable CPUs by default), so the graph\n"
    "stays navigable; the result does not depend on the threads. The slots\n"
    "freed are filled by later additions.";
constexpr const char* kEfDoc = "Width of a search's walk unless the search names ef.";
constexpr const char* kWalkDoc = "What a search's walk reads: 'exact', 'float32' or 'sq8'.";
constexpr const char* kMappedDoc =
    "Whether the index uses its file where it lies (read_index(path, mmap=True)):\n"
    "then it is read-only, and copy.copy(index) gives one that can change.";
constexpr const char* kStorageDoc =
    "How the vectors are kept now: 'float32' or 'float64' (see the class's storage).";
constexpr const char* kDimDoc = "The length of every vector.";
constexpr const char* kMetricDoc = "The metric: 'euclidean', 'angular' or 'inner_product'.";
constexpr const char* kMDoc = "The most links a node keeps on the upper layers (2m on layer 0).";
constexpr const char* kEfConstructionDoc = "The width of the walks that place added vectors.";

PyResult<void> check_lengths(const graph::GraphParams& params, const VectorList& vectors) {
  return check_lengths(params.dim, vectors);
}

// Queries are held to the rules that added vectors follow.
PyResult<void> check_queries(const graph::GraphParams& params, const VectorList& queries) {
  return check_queries(params.metric == MetricKind::Cosine, queries);
}

// The constructor's arguments as the index's settings, or its refusal.
PyResult<graph::GraphParams> settle(std::uint64_t dim, std::string metric,
                                    std::optional<std::uint64_t> m,
                                    std::optional<std::uint64_t> ef_construction,
                                    std::optional<std::uint64_t> ef_search,
                                    std::optional<std::uint64_t> seed, std::optional<Schema> schema,
                                    std::optional<std::string> walk,
                                    std::optional<std::string> storage) {
  const std::optional<MetricKind> kind = metric_with_hnsw_name(metric);
  if (!kind) {
    return std::unexpected(value_error("Unsupported metric '" + metric +
                                       "': expected 'euclidean', 'angular' or 'inner_product'"));
  }
  graph::GraphParams params;
  params.dim = dim;
  params.metric = *kind;
  params.m = m.value_or(params.m);
  params.ef_construction = ef_construction.value_or(params.ef_construction);
  params.ef_search = ef_search.value_or(params.ef_search);
  params.seed = seed.value_or(params.seed);
  params.schema = std::move(schema);
  params.walk = kDefaultWalk;
  if (walk) {
    const auto named = std::find(kWalkNames.begin(), kWalkNames.end(), *walk);
    if (named == kWalkNames.end()) {
      return std::unexpected(
          value_error("Unknown walk '" + *walk + "': expected 'exact', 'float32' or 'sq8'"));
    }
    params.walk = static_cast<graph::WalkKind>(named - kWalkNames.begin());
  }
  if (storage) {
    if (*storage == kStorageNames[0]) {
      params.storage = graph::RowStorage::Float32;
    } else if (*storage == kStorageNames[1]) {
      params.storage = graph::RowStorage::Float64;
    } else {
      return std::unexpected(
          value_error("Unknown storage '" + *storage +
                      "': expected None (float32 while nothing is lost), 'float32' or 'float64'"));
    }
  }
  if (dim == 0) return std::unexpected(value_error("dim must be at least 1, got 0"));
  if (dim > graph::kMaxDim) {
    return std::unexpected(value_error("dim must be at most " + std::to_string(graph::kMaxDim) +
                                       ", got " + std::to_string(dim) +
                                       ": a saved row's bytes (8 per value) must fit in 64 bits"));
  }
  if (params.m < graph::kMinLinks || params.m > graph::kMaxLinks) {
    return std::unexpected(
        value_error("m must be between 2 and 1024, got " + std::to_string(params.m)));
  }
  if (params.m > graph::max_links_for(dim)) {
    return std::unexpected(value_error(
        "m = " + std::to_string(params.m) + " is too large for dim " + std::to_string(dim) +
        ": at most 32 * dim + 32 = " + std::to_string(graph::max_links_for(dim)) +
        " (each vector's link lists would take more memory than a saved copy could claim when "
        "read); choose a smaller m"));
  }
  if (params.ef_construction == 0 || params.ef_search == 0) {
    return std::unexpected(value_error("ef_construction and ef_search must be at least 1"));
  }
  return params;
}

PyResult<GraphIndex> construct(std::uint64_t dim, std::string metric,
                               std::optional<std::uint64_t> m,
                               std::optional<std::uint64_t> ef_construction,
                               std::optional<std::uint64_t> ef_search,
                               std::optional<std::uint64_t> seed, std::optional<Schema> schema,
                               std::optional<std::string> walk,
                               std::optional<std::string> storage) {
  HALQEN_TRY_ASSIGN(graph::GraphParams params,
                    settle(dim, std::move(metric), m, ef_construction, ef_search, seed,
                           std::move(schema), std::move(walk), std::move(storage)));
  auto index = GraphIndex::create(std::move(params));
  if (!index) return std::unexpected(value_error(graph::describe(index.error(), dim)));
  return std::move(*index);
}

PyResult<std::optional<std::vector<MetadataRecord>>> records_of(
    const graph::GraphParams& params, const std::optional<std::vector<MetadataPairs>>& metadata) {
  if (!metadata) return std::optional<std::vector<MetadataRecord>>();
  if (!params.schema) {
    return std::unexpected(value_error("No schema provided in GraphIndex; cannot use metadata"));
  }
  std::vector<MetadataRecord> records;
  records.reserve(metadata->size());
  for (const MetadataPairs& pairs : *metadata) {
    HALQEN_TRY_ASSIGN(MetadataRecord record, build_metadata_record(*params.schema, pairs));
    records.push_back(std::move(record));
  }
  return std::optional(std::move(records));
}

// The arguments of add as the core takes them, after the checks that need
// the interpreter (metadata values, vector lengths).
PyResult<graph::Addition> addition_of(const graph::GraphParams& params, VectorList vectors,
                                      std::optional<std::vector<std::uint64_t>> ids,
                                      const std::optional<std::vector<MetadataPairs>>& metadata) {
  HALQEN_TRY_ASSIGN(auto records, records_of(params, metadata));
  HALQEN_TRY_VOID(check_lengths(params, vectors));
  graph::Addition addition;
  addition.count = vectors.size();
  addition.values = std::move(std::move(vectors).take_leading(addition.count).values);
  addition.ids = std::move(ids);
  addition.records = std::move(records);
  return addition;
}

std::optional<std::vector<std::uint64_t>> ids_of(std::optional<IdList> ids) {
  if (!ids) return std::nullopt;
  return std::move(ids->values);
}

// A mapped index refuses every change, naming the way out.
PyResult<void> check_changeable(const GraphIndex& self, const char* call) {
  if (!self.mapped()) return {};
  return std::unexpected(value_error(
      std::string("this GraphIndex is mapped from its file (read_index(..., mmap=True)) and is "
                  "read-only, so it cannot ") +
      call + ": copy.copy(index) gives an in-memory copy that can change"));
}

PyResult<NoneResult> add(GraphIndex& self, QueryBatch vectors, std::optional<IdList> ids,
                         std::optional<std::vector<MetadataPairs>> metadata,
                         std::optional<ThreadCount> threads, std::optional<Flag> progress) {
  HALQEN_TRY_VOID(check_changeable(self, "add"));
  // The metadata is converted first: converting runs the caller's Python
  // code, which may use the index.
  HALQEN_TRY_ASSIGN(graph::Addition addition, addition_of(self.params(), std::move(vectors.rows),
                                                          ids_of(std::move(ids)), metadata));
  if (addition.count == 0 && !addition.ids && !addition.records) return NoneResult{};
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Change));
  std::optional<ProgressBar> bar;
  if (progress && progress->on) bar.emplace();
  const graph::ProgressFn report = [&](std::size_t done, std::size_t total) {
    if (bar) bar->update(done, total);
  };
  std::expected<void, graph::GraphError> added;
  const std::size_t workers = worker_threads(threads);
  HALQEN_TRY_VOID(run_released_interruptible([&](Interrupt& interrupt) {
    graph::ThreadRunner runner(workers, interrupt);
    added = self.add(std::move(addition), runner, report);
  }));
  if (!added) {
    if (added.error().kind == graph::GraphErrorKind::Interrupted) {
      return std::unexpected(PyErr::new_err(PyExc_KeyboardInterrupt, "add interrupted"));
    }
    return std::unexpected(value_error(graph::describe(added.error(), self.dim())));
  }
  return NoneResult{};
}

// Whether a filter's value stands for several values: a list, or any other
// sequence that is no text (a sequence is never a metadata value).
bool holds_values(PyObject* given) {
  return PySequence_Check(given) && !PyUnicode_Check(given) && !PyBytes_Check(given) &&
         !PyByteArray_Check(given);
}

// The values a filter admits: one value, or each item of a sequence.
PyResult<std::vector<Metadata>> filter_values(const NamedObject& filter) {
  std::vector<Metadata> values;
  const auto convert = [&](PyObject* item) -> PyResult<void> {
    std::optional<Metadata> value = value_to_metadata(item);
    if (!value) {
      return std::unexpected(
          value_error("Unsupported type for metadata filter: the value of '" + filter.first +
                      "' is a '" + type_name(item) +
                      "'; a value is a str, an int or a float, and several values go in a "
                      "list: ('" +
                      filter.first + "', [value, ...])"));
    }
    values.push_back(std::move(*value));
    return {};
  };
  PyObject* given = filter.second.get();
  if (!holds_values(given)) {
    HALQEN_TRY_VOID(convert(given));
    return values;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(given));
  if (!iterator) return fetch_error();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    HALQEN_TRY_VOID(convert(item.get()));
  }
  if (PyErr_Occurred()) return fetch_error();
  return values;
}

PyResult<FilterExpression> filter_of(const graph::GraphParams& params,
                                     const FilterArgument& given) {
  if (!params.schema) {
    return std::unexpected(
        value_error("No schema provided in GraphIndex; cannot use metadata filtering"));
  }
  if (!given.pair) return parse_filter(given.expression.get(), *params.schema);
  const NamedObject& filter = *given.pair;
  HALQEN_TRY_ASSIGN(std::vector<Metadata> values, filter_values(filter));
  const auto position = attribute_position(filter.first, params.schema);
  if (!position) {
    return std::unexpected(
        value_error("filter attribute '" + filter.first + "' is not in the schema"));
  }
  return FilterExpression::any_of(*position, std::move(values));
}

// The call's filters: none, one for every query, or (filters=) one per
// query, `queries` of them.
PyResult<std::vector<FilterExpression>> filters_of(const graph::GraphParams& params,
                                                   std::size_t queries,
                                                   const std::optional<FilterArgument>& filter,
                                                   const std::optional<FilterList>& filters) {
  std::vector<FilterExpression> built;
  if (filter && filters) {
    return std::unexpected(
        value_error("give filter (one for every query) or filters (one per query), not both"));
  }
  if (filter) {
    HALQEN_TRY_ASSIGN(FilterExpression one, filter_of(params, *filter));
    built.push_back(std::move(one));
  }
  if (!filters) return built;
  if (filters->filters.size() != queries) {
    return std::unexpected(
        value_error("filters holds " + std::to_string(filters->filters.size()) + " filters for " +
                    std::to_string(queries) + (queries == 1 ? " query" : " queries") +
                    ": give one per query (filter= applies one to every query)"));
  }
  for (const FilterArgument& each : filters->filters) {
    HALQEN_TRY_ASSIGN(FilterExpression one, filter_of(params, each));
    built.push_back(std::move(one));
  }
  return built;
}

PyResult<void> check_ef(const std::optional<SearchWidth>& ef) {
  if (ef && ef->value == 0) return std::unexpected(value_error("ef must be at least 1, got 0"));
  return {};
}

// Everything search checks of its arguments before it searches, in order;
// the filters they ask for (filters_of).
PyResult<std::vector<FilterExpression>> checked_search(const graph::GraphParams& params,
                                                       const VectorList& queries, std::uint64_t k,
                                                       const std::optional<SearchWidth>& ef,
                                                       const std::optional<FilterArgument>& filter,
                                                       const std::optional<FilterList>& filters) {
  HALQEN_TRY_VOID(check_result_size(queries.size(), k));
  HALQEN_TRY_VOID(check_ef(ef));
  HALQEN_TRY_VOID(check_lengths(params, queries));
  HALQEN_TRY_VOID(check_queries(params, queries));
  return filters_of(params, queries.size(), filter, filters);
}

// What every query of one call asks for.
struct SearchRequest {
  std::size_t k = 0;
  std::size_t ef = 0;
  // None, one for every query, or one per query.
  std::span<const FilterExpression> filters;
  // The one filter every query shares, made ready once for the call.
  const graph::PreparedFilter* shared = nullptr;
};

// The filter every query shares made ready once, without the interpreter
// lock (it may look at every slot); none for no filter or one per query.
std::optional<graph::PreparedFilter> shared_filter(const GraphIndex& self,
                                                   std::span<const FilterExpression> filters) {
  if (filters.size() != 1) return std::nullopt;
  WithoutLock unlocked;
  return self.prepare_filter(filters.front());
}

// One query: its numbers (the caller's, or a stored vector's own copy), and
// the id left out of its answer, if any.
struct Query {
  std::span<const double> given;
  std::optional<std::uint64_t> excluded;
  std::vector<double> stored;

  std::span<const double> numbers() const { return stored.empty() ? given : stored; }
};

// Query `index`'s answer into its row of the result arrays, padded.
void answer(const GraphIndex& self, const Query& query, std::size_t index,
            const SearchRequest& request, std::span<std::int64_t> ids, std::span<double> values) {
  const double padding = self.params().metric == MetricKind::Euclidean
                             ? std::numeric_limits<double>::infinity()
                             : -std::numeric_limits<double>::infinity();
  std::fill(ids.begin(), ids.end(), -1);
  std::fill(values.begin(), values.end(), padding);
  // One more than k when the query's own id is to be dropped from it.
  const std::size_t asked = request.k == 0 ? 0 : request.k + (query.excluded ? 1 : 0);
  const graph::PreparedFilter* filter = request.shared;
  std::optional<graph::PreparedFilter> own;
  if (filter == nullptr && !request.filters.empty()) {
    own = self.prepare_filter(request.filters[index]);
    filter = &*own;
  }
  const std::vector<graph::Found> found =
      self.search_prepared(query.numbers(), asked, request.ef, filter);
  std::size_t next = 0;
  for (const graph::Found& hit : found) {
    if (next == request.k) break;
    if (hit.id == query.excluded) continue;
    ids[next] = static_cast<std::int64_t>(hit.id);
    values[next] = hit.value;
    ++next;
  }
}

// The answers of `count` queries (query_of(q) gives query q) as (ids,
// values) arrays of shape (count, k), or (k,) for a single query.
template <class QueryOf>
PyResult<std::pair<Ref, Ref>> answers(const GraphIndex& self, std::size_t count, bool single,
                                      const SearchRequest& request, const QueryOf& query_of,
                                      std::optional<ThreadCount> threads,
                                      const CancelEvent* cancel) {
  const auto run_query = [&](std::size_t q, std::span<std::int64_t> ids, std::span<double> values) {
    answer(self, query_of(q), q, request, ids, values);
  };
  return answer_rows(count, single, request.k, run_query, worker_threads(threads), cancel);
}

PyResult<std::pair<Ref, Ref>> search(const GraphIndex& self, QueryBatch queries,
                                     std::optional<ResultCount> k_given,
                                     std::optional<SearchWidth> ef_given,
                                     std::optional<FilterArgument> filter,
                                     std::optional<ThreadCount> threads,
                                     std::optional<CancelEvent> cancel,
                                     std::optional<FilterList> filters) {
  const std::uint64_t k = k_given ? k_given->value : kDefaultK;
  HALQEN_TRY_ASSIGN(const std::vector<FilterExpression> built,
                    checked_search(self.params(), queries.rows, k, ef_given, filter, filters));
  HALQEN_TRY_VOID(check_not_cancelled(cancel));
  HALQEN_TRY_ASSIGN(const graph::GatePass pass,
                    wait_for_pass(self, Pass::Search, cancel ? &*cancel : nullptr));
  const std::optional<graph::PreparedFilter> shared = shared_filter(self, built);
  const SearchRequest request{k, ef_given ? ef_given->value : self.ef_search(), built,
                              shared ? &*shared : nullptr};
  const auto query_of = [&](std::size_t q) {
    return Query{.given = queries.rows.numbers_of(q), .excluded = {}, .stored = {}};
  };
  return answers(self, queries.rows.size(), queries.single, request, query_of, threads,
                 cancel ? &*cancel : nullptr);
}

PyResult<std::pair<Ref, Ref>> search_by_id(const GraphIndex& self, IdQuery ids,
                                           std::optional<ResultCount> k_given,
                                           std::optional<SearchWidth> ef_given,
                                           std::optional<FilterArgument> filter,
                                           std::optional<ThreadCount> threads) {
  const std::vector<std::uint64_t>& wanted = ids.ids.values;
  const std::uint64_t k = k_given ? k_given->value : kDefaultK;
  HALQEN_TRY_VOID(check_result_size(wanted.size(), k));
  HALQEN_TRY_VOID(check_ef(ef_given));
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Search));
  HALQEN_TRY_ASSIGN(const std::vector<std::uint32_t> slots, slots_of(self, wanted));
  HALQEN_TRY_ASSIGN(const std::vector<FilterExpression> built,
                    filters_of(self.params(), wanted.size(), filter, std::nullopt));
  const std::optional<graph::PreparedFilter> shared = shared_filter(self, built);
  const SearchRequest request{k, ef_given ? ef_given->value : self.ef_search(), built,
                              shared ? &*shared : nullptr};
  const auto query_of = [&](std::size_t q) {
    Query query{.given = {}, .excluded = wanted[q], .stored = std::vector<double>(self.dim())};
    self.copy_vector(slots[q], query.stored.data());
    return query;
  };
  return answers(self, wanted.size(), ids.single, request, query_of, threads, nullptr);
}

PyResult<Ref> get_vectors(const GraphIndex& self, IdList ids, std::optional<VectorDtype> dtype) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Inspect));
  HALQEN_TRY_ASSIGN(const std::vector<std::uint32_t> slots, slots_of(self, ids.values));
  if (dtype && dtype->single_precision) return vectors_of<float>(self, slots, "float32");
  return vectors_of<double>(self, slots, "float64");
}

PyResult<Ref> stored_ids(const GraphIndex& self) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Inspect));
  return id_array(self);
}

PyResult<NoneResult> remove(GraphIndex& self, IdList given, std::optional<ThreadCount> threads) {
  HALQEN_TRY_VOID(check_changeable(self, "remove"));
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Change));
  const std::vector<std::uint64_t>& ids = given.values;
  for (const std::uint64_t id : ids) {
    if (!self.slot_of(id)) return std::unexpected(key_error(id));
  }
  std::expected<void, graph::GraphError> removed;
  const std::size_t workers = worker_threads(threads);
  HALQEN_TRY_VOID(run_released_interruptible([&](Interrupt& interrupt) {
    graph::ThreadRunner runner(workers, interrupt);
    removed = self.remove(ids, runner);
  }));
  if (!removed) return std::unexpected(key_error(removed.error().detail));
  return NoneResult{};
}

PyResult<NoneResult> update_metadata(GraphIndex& self, IdList given,
                                     std::vector<MetadataPairs> metadata) {
  HALQEN_TRY_VOID(check_changeable(self, "update_metadata"));
  const std::vector<std::uint64_t>& ids = given.values;
  if (metadata.size() != ids.size()) {
    return std::unexpected(value_error("update_metadata got " + std::to_string(ids.size()) +
                                       " ids and " + std::to_string(metadata.size()) +
                                       " metadata lists: give one list of pairs per id"));
  }
  const std::optional<std::vector<MetadataPairs>> lists(std::move(metadata));
  HALQEN_TRY_ASSIGN(auto records, records_of(self.params(), lists));
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Change));
  std::expected<void, graph::GraphError> updated;
  const std::size_t workers = worker_threads(std::nullopt);
  HALQEN_TRY_VOID(run_released_interruptible([&](Interrupt& interrupt) {
    graph::ThreadRunner runner(workers, interrupt);
    updated = self.update_records(ids, *records, runner);
  }));
  if (!updated) return std::unexpected(key_error(updated.error().detail));
  return NoneResult{};
}

// A count and a lookup come in between the steps of a change, as a search
// does, and see the index as the last completed step left it.
PyResult<std::uint64_t> length(const GraphIndex& self) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Search));
  return self.size();
}

PyResult<bool> contains(const GraphIndex& self, IdKey key) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Search));
  return key.id && self.slot_of(*key.id).has_value();
}

PyResult<std::uint64_t> get_ef_search(const GraphIndex& self) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Inspect));
  return self.ef_search();
}

std::string_view walk_name(const GraphIndex& self) {
  return kWalkNames[static_cast<std::size_t>(self.params().walk)];
}

std::string_view metric_name(const GraphIndex& self) {
  return metric_row(self.params().metric).hnsw_name;
}

PyResult<Ref> get_walk(const GraphIndex& self) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Inspect));
  return text_of(walk_name(self));
}

PyResult<bool> get_mapped(const GraphIndex& self) {
  return self.mapped();
}

PyResult<Ref> get_storage(const GraphIndex& self) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Inspect));
  return text_of(kStorageNames[self.narrow_rows() ? 0 : 1]);
}

// For measuring a serving index: [(longest wait in s, searches), ...] of
// every bucket of wait that holds a search, since the index was made.
PyResult<Ref> get_search_waits(const GraphIndex& self) {
  const graph::WaitTally tally = self.gate().search_waits();
  std::vector<std::pair<double, std::uint64_t>> buckets;
  for (std::size_t bucket = 0; bucket < tally.counts().size(); ++bucket) {
    const std::uint64_t count = tally.counts()[bucket];
    if (count > 0) buckets.emplace_back(graph::WaitTally::upper_seconds(bucket), count);
  }
  return to_python(buckets);
}

PyResult<Ref> get_metric(const GraphIndex& self) {
  return text_of(metric_name(self));
}

PyResult<std::uint64_t> get_dim(const GraphIndex& self) {
  return self.dim();
}

PyResult<std::uint64_t> get_m(const GraphIndex& self) {
  return self.params().m;
}

PyResult<std::uint64_t> get_ef_construction(const GraphIndex& self) {
  return self.params().ef_construction;
}

PyResult<Ref> describe(const GraphIndex& self) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Inspect));
  const std::string text = "GraphIndex(dim=" + std::to_string(self.dim()) + ", metric='" +
                           std::string(metric_name(self)) +
                           "', count=" + std::to_string(self.size()) + ", walk='" +
                           std::string(walk_name(self)) + "')";
  return text_of(text);
}

// The ids as a list of ints: what iterating over the index goes through.
PyResult<Ref> listed_ids(const GraphIndex& self) {
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Inspect));
  return id_list(self);
}

PyObject* repr_slot(PyObject* self) {
  return getter_entry<describe>(self, nullptr);
}

PyObject* iter_slot(PyObject* self) {
  Ref ids = Ref::steal(getter_entry<listed_ids>(self, nullptr));
  return ids ? PyObject_GetIter(ids.get()) : nullptr;
}

PyResult<void> check_ef_search(const graph::GraphParams& /*params*/, std::uint64_t ef) {
  if (ef == 0) return std::unexpected(value_error("ef_search must be at least 1, got 0"));
  return {};
}

PyResult<NoneResult> set_ef_search(GraphIndex& self, std::uint64_t ef) {
  HALQEN_TRY_VOID(check_ef_search(self.params(), ef));
  HALQEN_TRY_ASSIGN(const graph::GatePass pass, wait_for_pass(self, Pass::Change));
  self.set_ef_search(ef);
  return NoneResult{};
}

// The checks of add and search before anything is stored or searched, on
// the settings of an index holding nothing, for halqen_dask
// (module/py_kind.hpp's CheckEntry): what depends on the vectors stored,
// such as an id already present or k past the index's size, is not checked.
PyResult<void> check_add(const graph::GraphParams& params, QueryBatch vectors,
                         std::optional<IdList> ids,
                         std::optional<std::vector<MetadataPairs>> metadata,
                         std::optional<ThreadCount> /*threads*/, std::optional<Flag> /*progress*/) {
  HALQEN_TRY_ASSIGN(const graph::Addition addition,
                    addition_of(params, std::move(vectors.rows), ids_of(std::move(ids)), metadata));
  if (const auto error = GraphIndex::check_new_addition(params, addition)) {
    return std::unexpected(value_error(graph::describe(*error, params.dim)));
  }
  return {};
}

// add's checks of the ids and metadata of `count` vectors whose rows are
// checked apart (a sharded index's dask.array, checked where it lies).
PyResult<void> check_labels(const graph::GraphParams& params, std::uint64_t count,
                            std::optional<IdList> ids,
                            std::optional<std::vector<MetadataPairs>> metadata) {
  graph::Addition addition;
  HALQEN_TRY_ASSIGN(addition.records, records_of(params, metadata));
  addition.count = count;
  addition.ids = ids_of(std::move(ids));
  if (const auto error = GraphIndex::check_new_addition(params, addition, /*rows_apart=*/true)) {
    return std::unexpected(value_error(graph::describe(*error, params.dim)));
  }
  return {};
}

// add's refusal of vectors of `width` numbers, known by their width alone.
PyResult<void> check_add_width(const graph::GraphParams& params, std::uint64_t width) {
  if (width != params.dim) return std::unexpected(length_error(params.dim, width, 0));
  return {};
}

PyResult<void> check_search(const graph::GraphParams& params, QueryBatch queries,
                            std::optional<ResultCount> k, std::optional<SearchWidth> ef,
                            std::optional<FilterArgument> filter,
                            std::optional<ThreadCount> /*threads*/,
                            std::optional<CancelEvent> /*cancel*/,
                            std::optional<FilterList> filters) {
  HALQEN_TRY_VOID(
      checked_search(params, queries.rows, k ? k->value : kDefaultK, ef, filter, filters));
  return {};
}

constexpr CheckEntry<graph::GraphParams> kChecks[] = {
    {"add", check_entry<check_add, kAdd>},
    {"labels", check_entry<check_labels, kLabels>},
    {"add_width", check_entry<check_add_width, kAddWidth>},
    {"search", check_entry<check_search, kSearch>},
    {"ef_search", check_entry<check_ef_search, kSetEf>},
};

PyMethodDef methods[] = {
    method_def<add, kAdd>("add", kAddDoc),
    method_def<search, kSearch>("search", kSearchDoc),
    method_def<search_by_id, kSearchById>("search_by_id", kSearchByIdDoc),
    method_def<get_vectors, kGetVectors>("get_vectors", kGetVectorsDoc),
    method_def<remove, kRemove>("remove", kRemoveDoc),
    method_def<update_metadata, kUpdateMetadata>("update_metadata", kUpdateMetadataDoc),
    method_def<stored_ids, kIds>("ids", kIdsDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"ef_search", getter_entry<get_ef_search>, setter_entry<set_ef_search, kSetEf>, kEfDoc,
     nullptr},
    {"walk", getter_entry<get_walk>, nullptr, kWalkDoc, nullptr},
    {"storage", getter_entry<get_storage>, nullptr, kStorageDoc, nullptr},
    {"mapped", getter_entry<get_mapped>, nullptr, kMappedDoc, nullptr},
    {"_search_waits", getter_entry<get_search_waits>, nullptr, nullptr, nullptr},
    {"dim", getter_entry<get_dim>, nullptr, kDimDoc, nullptr},
    {"metric", getter_entry<get_metric>, nullptr, kMetricDoc, nullptr},
    {"m", getter_entry<get_m>, nullptr, kMDoc, nullptr},
    {"ef_construction", getter_entry<get_ef_construction>, nullptr, kEfConstructionDoc, nullptr},
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

PyObject* PyKind<GraphIndex>::create_type() {
  return create_class_type<construct, kNew>("halqen_ext.GraphIndex", kClassDoc, methods,
                                            kExtraSlots);
}

PyResult<graph::GraphParams> PyKind<GraphIndex>::settings(PyObject* kwargs) {
  return settings_entry<settle, kNew>(kwargs);
}

std::span<const CheckEntry<graph::GraphParams>> PyKind<GraphIndex>::checks() {
  return kChecks;
}

PyResult<BatchHits> PyKind<GraphIndex>::batch_hits(const GraphIndex& /*index*/,
                                                   const BatchRequest& /*request*/) {
  return std::unexpected(PyErr::new_err(
      PyExc_TypeError,
      "search_batch and search_ids take a PyFlat or PyHNSW; a GraphIndex searches many queries "
      "at once itself: GraphIndex.search(queries, k, threads=...) with a 2-D array of queries"));
}

}  // namespace halqen::py
