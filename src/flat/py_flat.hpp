// PyFlat as a kind of index, and what PyFlat.search checks and answers,
// shared with halqen_ext's batch search so that both raise the same errors
// and build the same results.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/search_hit.hpp"
#include "flat/flat.hpp"
#include "metrics/metrics.hpp"
#include "module/py_err.hpp"
#include "module/py_kind.hpp"

namespace halqen::py {

// One PyFlat result: (id, distance).
using FlatHits = std::vector<std::pair<std::uint64_t, double>>;

// What PyFlat's constructor makes of its arguments: the settings its checks
// read.
struct FlatSettings {
  std::uint64_t dim = 0;
  MetricKind metric = MetricKind::Euclidean;
};

// ValueError "Expected query of length {dim}, got {length}".
PyResult<void> check_query_length(std::uint64_t dim, std::span<const double> query);

// ValueError "Search error: {name of the error}".
PyErr flat_search_error(FlatError error);

FlatHits flat_hits(std::span<const SearchHit> hits);

template <>
struct PyKind<FlatIndex> {
  static constexpr const char* kName = "PyFlat";
  static constexpr ClassHome kHome = ClassHome::Halqen;
  static PyObject* create_type();

  // Every query is checked in order as search checks it before any is
  // scored; a filter or an ef is a TypeError (an exact search has neither).
  static PyResult<BatchHits> batch_hits(const FlatIndex& index, const BatchRequest& request);
  using BatchAnswer = FlatHits;
  static BatchAnswer batch_answer(const FlatIndex& /*index*/, std::span<const SearchHit> hits) {
    return flat_hits(hits);
  }
  using Settings = FlatSettings;
  static PyResult<Settings> settings(PyObject* kwargs);
  // insert(vector), create(vectors), create_width(width) (create's checks of
  // vectors of that many numbers), search(query, k), search_empty() (what
  // search raises on an index holding nothing), search_batch(queries, k).
  static std::span<const CheckEntry<Settings>> checks();
};

}  // namespace halqen::py
