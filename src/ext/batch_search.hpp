// halqen_ext's batch searches: many queries against one index, on worker
// threads, entered through the one call protocol (module/entry.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "module/args.hpp"
#include "module/batch_arguments.hpp"
#include "module/convert.hpp"
#include "module/index_borrow.hpp"
#include "module/py_err.hpp"
#include "module/py_kinds.hpp"
#include "module/thread_count.hpp"

namespace halqen::py {

using Queries = BatchQueries;
// [index.search(q, k) for q in queries] of a PyFlat, or
// [index.search(q, k, filter) for q in queries] of a PyHNSW: each kind's
// PyKind builds its answers.
using BatchAnswers = IndexClasses::BatchAnswers;
// (id, distance) pairs for any kind.
using IdAnswers = std::vector<FlatHits>;
using LabelledAnswers = IndexClasses::LabelledAnswers;

// The index is taken by reference so that its borrow lasts until the
// result is built: a PyHNSW result refers to the stored vectors.
PyResult<BatchAnswers> search_batch(const BorrowedIndex& index, QueryList queries,
                                    std::optional<ResultCount> k, std::optional<NamedObject> filter,
                                    std::optional<ThreadCount> threads,
                                    std::optional<CancelEvent> cancel);
PyResult<IdAnswers> search_ids(const BorrowedIndex& index, QueryList queries,
                               std::optional<ResultCount> k, std::optional<NamedObject> filter,
                               std::optional<SearchWidth> ef, std::optional<ThreadCount> threads,
                               std::optional<CancelEvent> cancel);
// Private, for halqen_dask: search_batch's answers with each hit's id, from
// one search.
PyResult<LabelledAnswers> search_labelled(const BorrowedIndex& index, QueryList queries,
                                          std::optional<ResultCount> k,
                                          std::optional<NamedObject> filter,
                                          std::optional<ThreadCount> threads,
                                          std::optional<CancelEvent> cancel);

inline constexpr std::array<std::string_view, 6> kSearchBatchParameters = {
    "index", "queries", "k", "filter", "threads", "cancel"};
inline constexpr std::array<std::string_view, 7> kSearchIdsParameters = {
    "index", "queries", "k", "filter", "ef", "threads", "cancel"};

inline constexpr FunctionDescription kSearchBatch{"", "search_batch", kSearchBatchParameters, 2};
inline constexpr FunctionDescription kSearchLabelled{"", "__search_labelled",
                                                     kSearchBatchParameters, 2};
inline constexpr FunctionDescription kSearchIds{"", "search_ids", kSearchIdsParameters, 2};

inline constexpr const char* kSearchBatchDoc =
    "search_batch($module, index, queries, k=None, filter=None, threads=None, cancel=None)\n--\n\n"
    "Search a PyFlat or PyHNSW for many queries at once, on worker threads.\n\n"
    "Returns [index.search(q, k) for q in queries] for a PyFlat and\n"
    "[index.search(q, k, filter) for q in queries] for a PyHNSW, bit for bit.\n"
    "threads defaults to the CPUs this process may use. A GraphIndex is\n"
    "refused (TypeError): its own search takes many queries at once.\n"
    "cancel, an object with is_set() such as a threading.Event, lets another\n"
    "thread end the search: it is asked before the search and every few\n"
    "milliseconds during it, and once set the search raises\n"
    "concurrent.futures.CancelledError.";
inline constexpr const char* kSearchLabelledDoc =
    "__search_labelled($module, index, queries, k=None, filter=None, threads=None, cancel=None)\n"
    "--\n\n"
    "As search_batch, each hit as (id, the hit search_batch gives).";
inline constexpr const char* kSearchIdsDoc =
    "search_ids($module, index, queries, k=None, filter=None, ef=None, threads=None,\n"
    "cancel=None)\n--\n\n"
    "As search_batch, answering each query with (id, distance) pairs.\n\n"
    "An id is the vector's insertion position. ef (PyHNSW only) is the width\n"
    "of the final layer search, the index's ef_search by default.";

}  // namespace halqen::py
