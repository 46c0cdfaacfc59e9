#include "ext/batch_search.hpp"

#include <algorithm>
#include <expected>
#include <string>
#include <utility>

#include "ext/released_run.hpp"
#include "flat/flat_batch.hpp"
#include "parallel/piece_runner.hpp"

namespace halqen::py {
namespace {

// Queries per piece of a graph batch: a few milliseconds of work, so that a
// stop request is honoured soon and the pieces balance over the threads.
constexpr std::size_t kGraphQueriesPerPiece = 16;
// More workers than this per usable CPU only add switching.
constexpr std::size_t kThreadsPerCpu = 4;

using GraphAnswer = std::expected<std::vector<SearchHit>, HNSWError>;

template <class Argument>
std::optional<std::uint64_t> value_of(const std::optional<Argument>& argument) {
  return argument ? std::optional<std::uint64_t>(argument->value) : std::nullopt;
}

PyErr type_error(const char* message) {
  return PyErr::new_err(PyExc_TypeError, message);
}

std::size_t worker_threads(const std::optional<ThreadCount>& threads) {
  const std::size_t cpus = usable_cpu_count();
  return threads ? std::min(threads->value, kThreadsPerCpu * cpus) : cpus;
}

// Every query is checked in order as search checks it before any is scored:
// its length, then (with the first query) that the index stores components.
PyResult<std::vector<std::vector<SearchHit>>> flat_batch(const FlatIndex& index,
                                                         const Queries& queries, std::uint64_t k,
                                                         std::size_t threads) {
  for (const std::vector<double>& query : queries) {
    HALQEN_TRY_VOID(check_query_length(index, query));
    if (index.vectors().empty()) {
      return std::unexpected(flat_search_error(FlatError::EmptyIndex));
    }
  }
  if (queries.empty()) {
    return std::vector<std::vector<SearchHit>>();
  }
  const std::vector<VectorView> views(queries.begin(), queries.end());
  FlatBatch batch(index, views, k);
  const PieceJob job{batch.piece_count(), [&](std::size_t piece) { batch.run_piece(piece); }};
  HALQEN_TRY_VOID(run_released(job, threads));
  return batch.take_results();
}

// Each query's search on a worker; the first failing query, in query order,
// gives the error (the errors of a graph search depend on the index, the
// filter and ef only, so every query fails alike).
PyResult<std::vector<std::vector<SearchHit>>> graph_batch(const HNSW& index, const Queries& queries,
                                                          std::uint64_t k,
                                                          const std::optional<NamedObject>& filter,
                                                          std::uint64_t ef, std::size_t threads) {
  if (queries.empty()) {
    return std::vector<std::vector<SearchHit>>();
  }
  HALQEN_TRY_ASSIGN(const std::optional<Filter> built, build_filter(index, filter));
  const Filter* applied = built ? &*built : nullptr;
  std::vector<GraphAnswer> answers(queries.size());
  const std::size_t pieces = queries.size() / kGraphQueriesPerPiece +
                             (queries.size() % kGraphQueriesPerPiece != 0 ? 1 : 0);
  const PieceJob job{pieces, [&](std::size_t piece) {
                       const std::size_t first = piece * kGraphQueriesPerPiece;
                       const std::size_t end =
                           std::min(queries.size(), first + kGraphQueriesPerPiece);
                       for (std::size_t q = first; q < end; ++q) {
                         answers[q] = index.search(queries[q], k, applied, ef);
                       }
                     }};
  HALQEN_TRY_VOID(run_released(job, threads));
  std::vector<std::vector<SearchHit>> hits;
  hits.reserve(answers.size());
  for (GraphAnswer& answer : answers) {
    if (!answer) {
      return std::unexpected(hnsw_search_error(answer.error()));
    }
    hits.push_back(std::move(*answer));
  }
  return hits;
}

PyResult<void> check_flat_options(const std::optional<NamedObject>& filter,
                                  const std::optional<std::uint64_t>& ef) {
  if (filter) {
    return std::unexpected(type_error("filter applies to a PyHNSW only: a PyFlat has no metadata"));
  }
  if (ef) {
    return std::unexpected(type_error("ef applies to a PyHNSW only: a PyFlat search is exact"));
  }
  return {};
}

// The searches either class answers, as (distance, id) hits per query.
PyResult<std::vector<std::vector<SearchHit>>> batch_hits(const BorrowedIndex& index,
                                                         const Queries& queries,
                                                         std::optional<std::uint64_t> k,
                                                         const std::optional<NamedObject>& filter,
                                                         std::optional<std::uint64_t> ef,
                                                         std::optional<ThreadCount> threads) {
  const std::uint64_t count = k.value_or(kDefaultSearchK);
  if (const auto* flat = std::get_if<const FlatIndex*>(&index.index())) {
    HALQEN_TRY_VOID(check_flat_options(filter, ef));
    return flat_batch(**flat, queries, count, worker_threads(threads));
  }
  const HNSW& graph = *std::get<const HNSW*>(index.index());
  return graph_batch(graph, queries, count, filter, ef.value_or(graph.ef_search()),
                     worker_threads(threads));
}

}  // namespace

PyResult<ThreadCount> FromPython<ThreadCount>::convert(PyObject* o) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    return fetch_error();
  }
  const long long threads = PyLong_AsLongLong(index.get());
  if (threads == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      return fetch_error();
    }
    PyErr_Clear();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "argument 'threads': expected an integer from 1 to 2^63 - 1, got %R", index.get()));
    return message ? std::unexpected(PyErr::new_err(PyExc_OverflowError, std::move(message)))
                   : fetch_error();
  }
  if (threads < 1) {
    return std::unexpected(PyErr::new_err(
        PyExc_ValueError, "threads must be at least 1, got " + std::to_string(threads)));
  }
  return ThreadCount{static_cast<std::size_t>(threads)};
}

PyResult<BatchAnswers> search_batch(const BorrowedIndex& index, QueryList queries,
                                    std::optional<ResultCount> k, std::optional<NamedObject> filter,
                                    std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const std::vector<std::vector<SearchHit>> hits,
                    batch_hits(index, queries.rows, value_of(k), filter, std::nullopt, threads));
  if (std::holds_alternative<const FlatIndex*>(index.index())) {
    std::vector<FlatHits> answers;
    answers.reserve(hits.size());
    for (const std::vector<SearchHit>& query_hits : hits) answers.push_back(flat_hits(query_hits));
    return answers;
  }
  const HNSW& graph = *std::get<const HNSW*>(index.index());
  std::vector<HNSWHits> answers;
  answers.reserve(hits.size());
  for (const std::vector<SearchHit>& query_hits : hits) {
    answers.push_back(hits_with_vectors(graph, query_hits));
  }
  return answers;
}

PyResult<IdAnswers> search_ids(const BorrowedIndex& index, QueryList queries,
                               std::optional<ResultCount> k, std::optional<NamedObject> filter,
                               std::optional<SearchWidth> ef, std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const std::vector<std::vector<SearchHit>> hits,
                    batch_hits(index, queries.rows, value_of(k), filter, value_of(ef), threads));
  IdAnswers answers;
  answers.reserve(hits.size());
  for (const std::vector<SearchHit>& query_hits : hits) answers.push_back(flat_hits(query_hits));
  return answers;
}

}  // namespace halqen::py
