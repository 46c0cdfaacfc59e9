// PartitionIndex: halqen_ext's partition index as a kind of index, behind
// the call protocol.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/search_hit.hpp"
#include "module/py_err.hpp"
#include "module/py_kind.hpp"
#include "partition/partition_index.hpp"

namespace halqen::py {

template <>
struct PyKind<partition::PartitionIndex> {
  static constexpr const char* kName = "PartitionIndex";
  static constexpr ClassHome kHome = ClassHome::HalqenExt;
  static PyObject* create_type();
  using Settings = partition::PartitionParams;
  static PyResult<Settings> settings(PyObject* kwargs);
  // add(vectors, ids, ...) and search(queries, k, ef, ...), checked on the
  // settings of an index holding nothing.
  static std::span<const CheckEntry<Settings>> checks();

  // TypeError: PartitionIndex.search is itself the batched search.
  static PyResult<BatchHits> batch_hits(const partition::PartitionIndex& index,
                                        const BatchRequest& request);
  // Never built: batch_hits refuses every request.
  using BatchAnswer = std::vector<std::pair<std::uint64_t, double>>;
  static BatchAnswer batch_answer(const partition::PartitionIndex& /*index*/,
                                  std::span<const SearchHit> hits) {
    BatchAnswer answer;
    for (const SearchHit& hit : hits) answer.emplace_back(hit.id, hit.distance);
    return answer;
  }
};

}  // namespace halqen::py
