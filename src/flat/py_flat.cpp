// PyFlat: the exact index behind the call protocol.
#include "flat/py_flat.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "flat/flat.hpp"
#include "flat/flat_batch.hpp"
#include "metrics/metric_table.hpp"
#include "module/batch_arguments.hpp"
#include "module/entry.hpp"
#include "module/released_run.hpp"
#include "module/signal_check.hpp"
#include "module/vector_length.hpp"
#include "module/vector_list.hpp"

namespace halqen::py {
namespace {

constexpr std::array<std::string_view, 2> kNewParameters{"dim", "metric"};
constexpr std::array<std::string_view, 1> kInsertParameters{"vector"};
constexpr std::array<std::string_view, 2> kSearchParameters{"query", "k"};
constexpr std::array<std::string_view, 1> kCreateParameters{"vectors"};

constexpr FunctionDescription kNew{"PyFlat", "__new__", kNewParameters, 1};
constexpr FunctionDescription kInsert{"PyFlat", "insert", kInsertParameters, 1};
constexpr FunctionDescription kSearch{"PyFlat", "search", kSearchParameters, 1};
constexpr FunctionDescription kCreate{"PyFlat", "create", kCreateParameters, 1};
constexpr std::array<std::string_view, 2> kSearchBatchParameters{"queries", "k"};
constexpr FunctionDescription kSearchBatch{"PyFlat", "search_batch", kSearchBatchParameters, 1};
constexpr std::array<std::string_view, 1> kCreateWidthParameters{"width"};
constexpr FunctionDescription kCreateWidth{"PyFlat", "create", kCreateWidthParameters, 1};
constexpr FunctionDescription kSearchEmpty{"PyFlat", "search", {}, 0};

constexpr const char* kClassDoc = "PyFlat(dim, metric=None)\n--\n\nOur Python-facing Flat index.";
constexpr const char* kInsertDoc =
    "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
    "The vector is expected as a list of floats whose length equals the index dimension.";
constexpr const char* kSearchDoc =
    "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
    "Returns a list of tuples `(id, distance)`.";
constexpr const char* kCreateDoc =
    "create($self, vectors)\n--\n\nCreate an index from a list of vectors.";

// Unknown names silently mean euclidean distance.
MetricKind flat_metric(const std::optional<std::string>& name) {
  if (!name) return MetricKind::Euclidean;
  return metric_with_flat_name(*name).value_or(MetricKind::Euclidean);
}

std::string wrong_length_message(std::size_t length, std::uint64_t dim) {
  return "Vector length " + std::to_string(length) + " does not match index dimension " +
         std::to_string(dim);
}

// What create's checks say of its first vector of another length: a
// ValueError, as they store nothing that would have to stop half-way.
PyErr create_length_error(std::size_t length, std::uint64_t dim) {
  return PyErr::new_err(PyExc_ValueError, wrong_length_message(length, dim));
}

PyResult<void> check_vector_length(std::uint64_t dim, const std::vector<double>& vector) {
  if (vector.size() != dim) {
    return std::unexpected(vector_length_error("vector", dim, vector.size()));
  }
  return {};
}

PyErr flat_error(const char* operation, FlatError error) {
  return PyErr::new_err(PyExc_ValueError,
                        std::string(operation) + " error: " + std::string(flat_error_name(error)));
}

// The constructor's arguments, which it refuses only in their conversion.
PyResult<FlatSettings> settle(std::uint64_t dim, std::optional<std::string> metric) {
  return FlatSettings{.dim = dim, .metric = flat_metric(metric)};
}

PyResult<FlatIndex> construct(std::uint64_t dim, std::optional<std::string> metric) {
  HALQEN_TRY_ASSIGN(const FlatSettings settings, settle(dim, std::move(metric)));
  return FlatIndex(settings.dim, settings.metric);
}

PyResult<NoneResult> insert(FlatIndex& self, std::vector<double> vector) {
  HALQEN_TRY_VOID(check_vector_length(self.dim(), vector));
  self.insert(vector);
  return NoneResult{};
}

// Lengths are checked in order: the vectors before a wrong one are stored
// (in one block, room for all of them made first), then the call panics. A
// signal handler that raises stops the storing between chunks, and its
// exception is the call's.
PyResult<NoneResult> create(FlatIndex& self, VectorList vectors) {
  if (vectors.empty()) {
    return std::unexpected(flat_error("Create", FlatError::EmptyVectors));
  }
  const std::size_t storable = vectors.leading_vectors_of_length(self.dim());
  const bool stops_early = storable < vectors.size();
  const std::size_t wrong_length = stops_early ? vectors.length(storable) : 0;
  if (storable > 0) {
    SignalInterrupt signals;
    if (!self.insert_block(std::move(vectors).take_leading(storable), signals)) {
      return fetch_error();
    }
  }
  if (stops_early) {
    throw Panic(wrong_length_message(wrong_length, self.dim()));
  }
  return NoneResult{};
}

PyResult<FlatHits> search(const FlatIndex& self, std::vector<double> query,
                          std::optional<std::uint64_t> k) {
  HALQEN_TRY_VOID(check_query_length(self.dim(), query));
  auto hits = self.search(query, k.value_or(kDefaultSearchK));
  if (!hits) {
    return std::unexpected(flat_search_error(hits.error()));
  }
  return flat_hits(*hits);
}

PyErr type_error(const char* message) {
  return PyErr::new_err(PyExc_TypeError, message);
}

PyResult<void> check_batch_options(const BatchRequest& request) {
  if (request.filter) {
    return std::unexpected(type_error("filter applies to a PyHNSW only: a PyFlat has no metadata"));
  }
  if (request.ef) {
    return std::unexpected(type_error("ef applies to a PyHNSW only: a PyFlat search is exact"));
  }
  return {};
}

// The checks of each method, before anything is stored or scored, on the
// settings of an index (module/py_kind.hpp's CheckEntry). A wrong length in
// create is a ValueError here: the check stores nothing, so there is
// nothing to stop half-way.
PyResult<void> check_insert(const FlatSettings& settings, std::vector<double> vector) {
  return check_vector_length(settings.dim, vector);
}

PyResult<void> check_create(const FlatSettings& settings, VectorList vectors) {
  if (vectors.empty()) {
    return std::unexpected(flat_error("Create", FlatError::EmptyVectors));
  }
  const std::size_t matching = vectors.leading_vectors_of_length(settings.dim);
  if (matching < vectors.size()) {
    return std::unexpected(create_length_error(vectors.length(matching), settings.dim));
  }
  return {};
}

// create's refusal of vectors of `width` numbers, known by their width alone
// (a sharded index's dask.array, whose rows lie elsewhere).
PyResult<void> check_create_width(const FlatSettings& settings, std::uint64_t width) {
  if (width != settings.dim) {
    return std::unexpected(create_length_error(width, settings.dim));
  }
  return {};
}

PyResult<void> check_search(const FlatSettings& settings, std::vector<double> query,
                            std::optional<std::uint64_t> /*k*/) {
  return check_query_length(settings.dim, query);
}

// What search raises, once its query passed, on an index that holds no
// numbers (nothing stored, or dim 0): a sharded index holding none says so
// as one index would.
PyResult<void> check_search_empty(const FlatSettings& /*settings*/) {
  return std::unexpected(flat_search_error(FlatError::EmptyIndex));
}

PyResult<void> check_search_batch(const FlatSettings& settings, QueryList queries,
                                  std::optional<ResultCount> /*k*/) {
  for (const std::vector<double>& query : queries.rows) {
    HALQEN_TRY_VOID(check_query_length(settings.dim, query));
  }
  return {};
}

constexpr CheckEntry<FlatSettings> kChecks[] = {
    {"insert", check_entry<check_insert, kInsert>},
    {"create", check_entry<check_create, kCreate>},
    {"create_width", check_entry<check_create_width, kCreateWidth>},
    {"search", check_entry<check_search, kSearch>},
    {"search_empty", check_entry<check_search_empty, kSearchEmpty>},
    {"search_batch", check_entry<check_search_batch, kSearchBatch>},
};

PyMethodDef methods[] = {
    method_def<insert, kInsert>("insert", kInsertDoc),
    method_def<search, kSearch>("search", kSearchDoc),
    method_def<create, kCreate>("create", kCreateDoc),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyResult<void> check_query_length(std::uint64_t dim, std::span<const double> query) {
  if (query.size() != dim) {
    return std::unexpected(vector_length_error("query", dim, query.size()));
  }
  return {};
}

PyErr flat_search_error(FlatError error) {
  return flat_error("Search", error);
}

FlatHits flat_hits(std::span<const SearchHit> hits) {
  FlatHits result;
  result.reserve(hits.size());
  for (const SearchHit& hit : hits) {
    result.emplace_back(hit.id, hit.distance);
  }
  return result;
}

PyObject* PyKind<FlatIndex>::create_type() {
  return create_class_type<construct, kNew>("builtins.PyFlat", kClassDoc, methods);
}

PyResult<FlatSettings> PyKind<FlatIndex>::settings(PyObject* kwargs) {
  return settings_entry<settle, kNew>(kwargs);
}

std::span<const CheckEntry<FlatSettings>> PyKind<FlatIndex>::checks() {
  return kChecks;
}

PyResult<BatchHits> PyKind<FlatIndex>::batch_hits(const FlatIndex& index,
                                                  const BatchRequest& request) {
  HALQEN_TRY_VOID(check_batch_options(request));
  for (const std::vector<double>& query : request.queries) {
    HALQEN_TRY_VOID(check_query_length(index.dim(), query));
    if (index.vectors().empty()) {
      return std::unexpected(flat_search_error(FlatError::EmptyIndex));
    }
  }
  if (request.queries.empty()) {
    return BatchHits();
  }
  const std::vector<VectorView> views(request.queries.begin(), request.queries.end());
  FlatBatch batch(index, views, request.k);
  const PieceJob job{batch.piece_count(), [&](std::size_t piece) { batch.run_piece(piece); }};
  HALQEN_TRY_VOID(run_released(job, request.threads, request.cancel));
  return batch.take_results();
}

}  // namespace halqen::py
