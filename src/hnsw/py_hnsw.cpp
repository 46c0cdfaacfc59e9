// PyHNSW: the approximate index behind the call protocol.
#include "hnsw/py_hnsw.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filter/filter.hpp"
#include "hnsw/hnsw.hpp"
#include "metrics/metric_table.hpp"
#include "module/batch_arguments.hpp"
#include "module/entry.hpp"
#include "module/py_metadata.hpp"
#include "module/released_run.hpp"
#include "module/signal_check.hpp"
#include "module/vector_length.hpp"
#include "module/vector_list.hpp"
#include "random/random.hpp"

namespace halqen::py {
namespace {

constexpr std::array<std::string_view, 7> kNewParameters{
    "dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"};
constexpr std::array<std::string_view, 2> kInsertParameters{"vector", "metadata"};
constexpr std::array<std::string_view, 3> kSearchParameters{"query", "k", "filter"};
constexpr std::array<std::string_view, 2> kCreateParameters{"vectors", "metadata"};

constexpr FunctionDescription kNew{"PyHNSW", "__new__", kNewParameters, 1};
constexpr FunctionDescription kInsert{"PyHNSW", "insert", kInsertParameters, 1};
constexpr FunctionDescription kSearch{"PyHNSW", "search", kSearchParameters, 1};
constexpr FunctionDescription kCreate{"PyHNSW", "create", kCreateParameters, 1};
constexpr std::array<std::string_view, 2> kCheckMetadataParameters{"metadata", "count"};
constexpr FunctionDescription kCheckMetadata{"PyHNSW", "create", kCheckMetadataParameters, 2};
constexpr std::array<std::string_view, 3> kSearchBatchParameters{"queries", "k", "filter"};
constexpr FunctionDescription kSearchBatch{"PyHNSW", "search_batch", kSearchBatchParameters, 1};
constexpr std::array<std::string_view, 1> kCreateWidthParameters{"width"};
constexpr FunctionDescription kCreateWidth{"PyHNSW", "create", kCreateWidthParameters, 1};
constexpr std::array<std::string_view, 1> kQueryLengthsParameters{"queries"};
constexpr FunctionDescription kQueryLengths{"PyHNSW", "search", kQueryLengthsParameters, 1};

constexpr const char* kClassDoc =
    "PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, "
    "schema=None)\n--\n\n";
constexpr const char* kInsertDoc =
    "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
    "The vector is expected as a list of floats.\n"
    "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
    "`[(\"color\", \"blue\"), (\"size\", 42)]`";
constexpr const char* kSearchDoc =
    "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
    "Returns a list of tuples `(distance, vector)`.";
constexpr const char* kCreateDoc = "create($self, vectors, metadata=None)\n--\n\n";

constexpr const char* kNoSchemaForMetadata =
    "No schema provided in HNSW instance; cannot use metadata";
constexpr const char* kNoSchemaForFilter =
    "No schema provided in HNSW instance; cannot use metadata filtering";

using MetadataPairs = std::vector<NamedObject>;
using QueryAnswer = std::expected<std::vector<SearchHit>, HNSWError>;

// Queries per piece of a batch search: a few milliseconds of work, so that a
// stop request is honoured soon and the pieces balance over the threads.
constexpr std::size_t kBatchQueriesPerPiece = 16;

PyErr value_error(std::string message) {
  return PyErr::new_err(PyExc_ValueError, std::move(message));
}

PyErr core_error(const char* operation, HNSWError error) {
  return value_error(std::string(operation) + " error: " + std::string(hnsw_error_name(error)));
}

std::optional<MetricKind> hnsw_metric(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  return metric_with_hnsw_name(*name);
}

// A vector of another length would misalign every later node, so it never
// reaches the graph.
PyResult<void> check_length(const HNSWParams& params, const std::vector<double>& vector) {
  if (vector.size() != params.dim) {
    return std::unexpected(vector_length_error("vector", params.dim, vector.size()));
  }
  return {};
}

// Every vector is checked before any is inserted; the first wrong one is reported.
PyResult<void> check_lengths(const HNSWParams& params, const VectorList& vectors) {
  const std::size_t matching = vectors.leading_vectors_of_length(params.dim);
  if (matching < vectors.size()) {
    return std::unexpected(vector_length_error("vector", params.dim, vectors.length(matching)));
  }
  return {};
}

// A core error as the call's exception. Interrupted means a signal handler
// raised while the vectors were inserted: its exception, still pending, is
// the one raised.
PyErr create_error(HNSWError error) {
  if (error == HNSWError::Interrupted) {
    return PyErr::fetch();
  }
  return core_error("Create", error);
}

// The constructor's arguments as the index's parameters, or its refusal.
PyResult<HNSWParams> settle(std::uint64_t dim, std::optional<std::uint64_t> layers,
                            std::optional<std::uint64_t> m,
                            std::optional<std::uint64_t> ef_construction,
                            std::optional<std::uint64_t> ef_search,
                            std::optional<std::string> metric, std::optional<Schema> schema) {
  const std::optional<MetricKind> kind = hnsw_metric(metric);
  if (!kind) {
    return std::unexpected(value_error("Unsupported metric"));
  }
  // Parameters left out keep HNSWParams' defaults.
  HNSWParams params;
  params.dim = dim;
  params.layers = layers.value_or(params.layers);
  params.m = m.value_or(params.m);
  params.ef_construction = ef_construction.value_or(params.ef_construction);
  params.ef_search = ef_search.value_or(params.ef_search);
  params.metric = *kind;
  params.schema = std::move(schema);
  return params;
}

PyResult<HNSW> construct(std::uint64_t dim, std::optional<std::uint64_t> layers,
                         std::optional<std::uint64_t> m,
                         std::optional<std::uint64_t> ef_construction,
                         std::optional<std::uint64_t> ef_search, std::optional<std::string> metric,
                         std::optional<Schema> schema) {
  HALQEN_TRY_ASSIGN(HNSWParams params, settle(dim, layers, m, ef_construction, ef_search,
                                              std::move(metric), std::move(schema)));
  return HNSW(std::move(params));
}

// Everything insert checks before it stores: the record, then the length.
PyResult<std::optional<MetadataRecord>> checked_record(
    const HNSWParams& params, const std::vector<double>& vector,
    const std::optional<MetadataPairs>& metadata) {
  std::optional<MetadataRecord> record;
  if (metadata) {
    if (!params.schema) {
      return std::unexpected(value_error(kNoSchemaForMetadata));
    }
    HALQEN_TRY_ASSIGN(record, build_metadata_record(*params.schema, *metadata));
  }
  HALQEN_TRY_VOID(check_length(params, vector));
  return record;
}

// The records of a create with metadata, checked in order: their count,
// the schema, each record.
PyResult<std::vector<MetadataRecord>> checked_records(const HNSWParams& params,
                                                      const std::vector<MetadataPairs>& metadata,
                                                      std::size_t vector_count) {
  if (metadata.size() != vector_count) {
    return std::unexpected(value_error("Length of metadata list must match number of vectors"));
  }
  if (!params.schema) {
    return std::unexpected(value_error(kNoSchemaForMetadata));
  }
  std::vector<MetadataRecord> records;
  records.reserve(metadata.size());
  for (const MetadataPairs& pairs : metadata) {
    HALQEN_TRY_ASSIGN(MetadataRecord record, build_metadata_record(*params.schema, pairs));
    records.push_back(std::move(record));
  }
  return records;
}

PyResult<NoneResult> insert(HNSW& self, std::vector<double> vector,
                            std::optional<MetadataPairs> metadata) {
  HALQEN_TRY_ASSIGN(const std::optional<MetadataRecord> record,
                    checked_record(self.params(), vector, metadata));
  auto inserted = self.insert(vector, record ? &*record : nullptr, thread_random());
  if (!inserted) {
    return std::unexpected(core_error("Insert", inserted.error()));
  }
  return NoneResult{};
}

// Inserts one vector after another, as insert does without a record.
PyResult<NoneResult> create_without_metadata(HNSW& self, VectorList vectors) {
  if (vectors.empty()) {
    return std::unexpected(core_error("Create", HNSWError::EmptyVectors));
  }
  HALQEN_TRY_VOID(check_lengths(self.params(), vectors));
  const std::size_t count = vectors.size();
  SignalInterrupt signals;
  auto inserted =
      self.insert_block(std::move(vectors).take_leading(count), thread_random(), signals);
  if (!inserted) {
    return std::unexpected(create_error(inserted.error()));
  }
  return NoneResult{};
}

PyResult<NoneResult> create_with_metadata(HNSW& self, VectorList vectors,
                                          const std::vector<MetadataPairs>& metadata) {
  HALQEN_TRY_ASSIGN(const std::vector<MetadataRecord> records,
                    checked_records(self.params(), metadata, vectors.size()));
  HALQEN_TRY_VOID(check_lengths(self.params(), vectors));
  const std::size_t count = vectors.size();
  SignalInterrupt signals;
  auto created =
      self.create(std::move(vectors).take_leading(count), records, thread_random(), signals);
  if (!created) {
    return std::unexpected(create_error(created.error()));
  }
  return NoneResult{};
}

PyResult<NoneResult> create(HNSW& self, VectorList vectors,
                            std::optional<std::vector<MetadataPairs>> metadata) {
  if (metadata) {
    return create_with_metadata(self, std::move(vectors), *metadata);
  }
  return create_without_metadata(self, std::move(vectors));
}

PyResult<HNSWHits> search(const HNSW& self, std::vector<double> query,
                          std::optional<std::uint64_t> k, std::optional<NamedObject> filter) {
  HALQEN_TRY_ASSIGN(const std::optional<Filter> built, build_filter(self.params(), filter));
  auto hits = self.search(query, k.value_or(kDefaultSearchK), built ? &*built : nullptr);
  if (!hits) {
    return std::unexpected(hnsw_search_error(hits.error()));
  }
  return hits_with_vectors(self, *hits);
}

// The checks of each method, before anything is stored or searched, on the
// parameters of an index (module/py_kind.hpp's CheckEntry). What depends on
// the nodes stored, such as an unknown filter attribute, is not checked.
PyResult<void> check_insert(const HNSWParams& params, std::vector<double> vector,
                            std::optional<MetadataPairs> metadata) {
  HALQEN_TRY_VOID(checked_record(params, vector, metadata));
  return {};
}

PyResult<void> check_create(const HNSWParams& params, VectorList vectors,
                            std::optional<std::vector<MetadataPairs>> metadata) {
  if (!metadata && vectors.empty()) {
    return std::unexpected(core_error("Create", HNSWError::EmptyVectors));
  }
  if (metadata) {
    HALQEN_TRY_VOID(checked_records(params, *metadata, vectors.size()));
  }
  HALQEN_TRY_VOID(check_lengths(params, vectors));
  if (vectors.empty()) {
    return std::unexpected(core_error("Create", HNSWError::EmptyVectors));
  }
  return {};
}

// create's refusal of vectors of `width` numbers, known by their width alone
// (a sharded index's dask.array, whose rows lie elsewhere).
PyResult<void> check_create_width(const HNSWParams& params, std::uint64_t width) {
  if (width != params.dim) {
    return std::unexpected(vector_length_error("vector", params.dim, width));
  }
  return {};
}

// create's checks of its metadata alone, for `count` vectors checked apart.
PyResult<void> check_metadata(const HNSWParams& params, std::vector<MetadataPairs> metadata,
                              std::uint64_t count) {
  HALQEN_TRY_VOID(checked_records(params, metadata, count));
  return {};
}

PyResult<void> check_search(const HNSWParams& params, std::vector<double> /*query*/,
                            std::optional<std::uint64_t> /*k*/, std::optional<NamedObject> filter) {
  HALQEN_TRY_VOID(build_filter(params, filter));
  return {};
}

// As halqen_ext.search_batch checks: the filter, when there is a query.
PyResult<void> check_search_batch(const HNSWParams& params, QueryList queries,
                                  std::optional<ResultCount> /*k*/,
                                  std::optional<NamedObject> filter) {
  if (!queries.rows.empty()) {
    HALQEN_TRY_VOID(build_filter(params, filter));
  }
  return {};
}

// A search pairs the components up to the shorter length, but a sharded
// index sends its queries to the shards as one matrix of dim columns: there
// each query must have the index's length.
PyResult<void> check_query_lengths(const HNSWParams& params, VectorList queries) {
  const std::size_t matching = queries.leading_vectors_of_length(params.dim);
  if (matching < queries.size()) {
    return std::unexpected(vector_length_error("query", params.dim, queries.length(matching)));
  }
  return {};
}

constexpr CheckEntry<HNSWParams> kChecks[] = {
    {"insert", check_entry<check_insert, kInsert>},
    {"create", check_entry<check_create, kCreate>},
    {"create_width", check_entry<check_create_width, kCreateWidth>},
    {"metadata", check_entry<check_metadata, kCheckMetadata>},
    {"search", check_entry<check_search, kSearch>},
    {"search_batch", check_entry<check_search_batch, kSearchBatch>},
    {"query_lengths", check_entry<check_query_lengths, kQueryLengths>},
};

PyMethodDef methods[] = {
    method_def<insert, kInsert>("insert", kInsertDoc),
    method_def<search, kSearch>("search", kSearchDoc),
    method_def<create, kCreate>("create", kCreateDoc),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyResult<std::optional<Filter>> build_filter(const HNSWParams& params,
                                             const std::optional<NamedObject>& filter) {
  if (!filter) {
    return std::optional<Filter>();
  }
  if (!params.schema) {
    return std::unexpected(value_error(kNoSchemaForFilter));
  }
  std::optional<Metadata> value = value_to_metadata(filter->second.get());
  if (!value) {
    return std::unexpected(value_error("Unsupported type for metadata filter"));
  }
  return equality_filter(filter->first, std::move(*value));
}

PyErr hnsw_search_error(HNSWError error) {
  return core_error("Search", error);
}

HNSWHits hits_with_vectors(const HNSW& index, std::span<const SearchHit> hits) {
  HNSWHits result;
  result.reserve(hits.size());
  for (const SearchHit& hit : hits) {
    result.emplace_back(hit.distance, index.vector(hit.id));
  }
  return result;
}

PyObject* PyKind<HNSW>::create_type() {
  return create_class_type<construct, kNew>("builtins.PyHNSW", kClassDoc, methods);
}

PyResult<HNSWParams> PyKind<HNSW>::settings(PyObject* kwargs) {
  return settings_entry<settle, kNew>(kwargs);
}

std::span<const CheckEntry<HNSWParams>> PyKind<HNSW>::checks() {
  return kChecks;
}

PyResult<BatchHits> PyKind<HNSW>::batch_hits(const HNSW& index, const BatchRequest& request) {
  const BatchQueries& queries = request.queries;
  if (queries.empty()) {
    return BatchHits();
  }
  HALQEN_TRY_ASSIGN(const std::optional<Filter> built,
                    build_filter(index.params(), request.filter));
  const Filter* applied = built ? &*built : nullptr;
  const std::uint64_t ef = request.ef.value_or(index.ef_search());
  std::vector<QueryAnswer> answers(queries.size());
  const std::size_t pieces = queries.size() / kBatchQueriesPerPiece +
                             (queries.size() % kBatchQueriesPerPiece != 0 ? 1 : 0);
  const PieceJob job{pieces, [&](std::size_t piece) {
                       const std::size_t first = piece * kBatchQueriesPerPiece;
                       const std::size_t end =
                           std::min(queries.size(), first + kBatchQueriesPerPiece);
                       for (std::size_t q = first; q < end; ++q) {
                         answers[q] = index.search(queries[q], request.k, applied, ef);
                       }
                     }};
  HALQEN_TRY_VOID(run_released(job, request.threads, request.cancel));
  BatchHits hits;
  hits.reserve(answers.size());
  for (QueryAnswer& answer : answers) {
    if (!answer) {
      return std::unexpected(hnsw_search_error(answer.error()));
    }
    hits.push_back(std::move(*answer));
  }
  return hits;
}

}  // namespace halqen::py
