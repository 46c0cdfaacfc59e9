// GraphIndex: halqen_ext's approximate index as a kind of index, behind the
// call protocol.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/search_hit.hpp"
#include "graph/graph_index.hpp"
#include "graph/graph_params.hpp"
#include "module/py_err.hpp"
#include "module/py_kind.hpp"

namespace halqen::py {

template <>
struct PyKind<graph::GraphIndex> {
  static constexpr const char* kName = "GraphIndex";
  static constexpr ClassHome kHome = ClassHome::HalqenExt;
  static PyObject* create_type();
  using Settings = graph::GraphParams;
  static PyResult<Settings> settings(PyObject* kwargs);
  // add(vectors, ids, metadata, ...), labels(count, ids, metadata) (add's
  // checks of the ids and metadata alone), add_width(width) (add's checks
  // of vectors of that many numbers), search(queries, k, ef, filter, ...)
  // and ef_search(value) (the property's), checked before halqen_dask's
  // ShardedGraph routes them.
  static std::span<const CheckEntry<Settings>> checks();

  // TypeError: GraphIndex.search is itself the batched search (a 2-D array
  // of queries, on worker threads), and its answers are numpy arrays of the
  // caller's ids, which the batch searches' lists of hits are not.
  static PyResult<BatchHits> batch_hits(const graph::GraphIndex& index,
                                        const BatchRequest& request);
  // Never built: batch_hits refuses every request.
  using BatchAnswer = std::vector<std::pair<std::uint64_t, double>>;
  static BatchAnswer batch_answer(const graph::GraphIndex& /*index*/,
                                  std::span<const SearchHit> hits) {
    BatchAnswer answer;
    for (const SearchHit& hit : hits) answer.emplace_back(hit.id, hit.distance);
    return answer;
  }
};

}  // namespace halqen::py
