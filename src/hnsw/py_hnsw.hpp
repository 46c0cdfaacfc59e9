// PyHNSW as a kind of index, and what PyHNSW.search checks and answers,
// shared with halqen_ext's batch search so that both raise the same errors
// and build the same results.
#pragma once

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/search_hit.hpp"
#include "filter/filter.hpp"
#include "hnsw/hnsw.hpp"
#include "module/convert.hpp"
#include "module/py_err.hpp"
#include "module/py_kind.hpp"

namespace halqen::py {

// One PyHNSW result: (distance, the node's stored vector). The vectors are
// views into the index, valid while its borrow is held.
using HNSWHits = std::vector<std::pair<double, std::span<const double>>>;

// The filter a search's (name, value) pair asks for, none without a pair.
// ValueError "No schema provided in HNSW instance; cannot use metadata
// filtering" without a schema, "Unsupported type for metadata filter" for a
// value no metadata type holds. The name is checked by the core search.
PyResult<std::optional<Filter>> build_filter(const HNSWParams& params,
                                             const std::optional<NamedObject>& filter);

// ValueError "Search error: {name of the error}".
PyErr hnsw_search_error(HNSWError error);

HNSWHits hits_with_vectors(const HNSW& index, std::span<const SearchHit> hits);

template <>
struct PyKind<HNSW> {
  static constexpr const char* kName = "PyHNSW";
  static constexpr ClassHome kHome = ClassHome::Halqen;
  static PyObject* create_type();

  // Each query's search on a worker, ef defaulting to the index's ef_search;
  // the first failing query, in query order, gives the error (the errors of
  // a graph search depend on the index, the filter and ef only, so every
  // query fails alike).
  static PyResult<BatchHits> batch_hits(const HNSW& index, const BatchRequest& request);
  using BatchAnswer = HNSWHits;
  static BatchAnswer batch_answer(const HNSW& index, std::span<const SearchHit> hits) {
    return hits_with_vectors(index, hits);
  }
  using Settings = HNSWParams;
  static PyResult<Settings> settings(PyObject* kwargs);
  // insert(vector, metadata), create(vectors, metadata), create_width(width)
  // (create's checks of vectors of that many numbers), metadata(metadata,
  // count) (create's metadata checks alone), search(query, k, filter),
  // search_batch(queries, k, filter), query_lengths(queries) (each query of
  // the index's length, which a sharded index needs of its queries).
  static std::span<const CheckEntry<Settings>> checks();
};

}  // namespace halqen::py
