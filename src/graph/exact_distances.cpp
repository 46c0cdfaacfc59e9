#include "graph/exact_distances.hpp"

#include <algorithm>

#include "metrics/batch.hpp"

namespace halqen::graph {

ExactDistances::ExactDistances(const VectorStore& store, std::span<const double> query)
    : store_(store),
      query_(query),
      order_(store.metric()),
      prefetch_lines_((store.row_bytes() + kLineBytes - 1) / kLineBytes) {
  if (store_.keeps_norms()) query_norm_ = squared_norm(query_);
}

ExactDistances::ExactDistances(const VectorStore& store, std::uint32_t slot)
    : store_(store),
      query_(store.row(slot, own_query_)),
      order_(store.metric()),
      prefetch_lines_((store.row_bytes() + kLineBytes - 1) / kLineBytes) {
  if (store_.keeps_norms()) query_norm_ = store_.norm(slot);
}

void ExactDistances::keys(const std::uint32_t* slots, std::size_t count, double* keys) {
  values(slots, count, keys);
  for (std::size_t i = 0; i < count; ++i) keys[i] = order_.key(keys[i]);
}

void ExactDistances::values(const std::uint32_t* slots, std::size_t count, double* values) {
  if (count == 0) return;
  const double* norms = nullptr;
  if (store_.keeps_norms()) {
    const std::span<const double> stored = store_.norms();
    gathered_norms_.resize(count);
    for (std::size_t i = 0; i < count; ++i) gathered_norms_[i] = stored[slots[i]];
    norms = gathered_norms_.data();
  }
  const std::size_t dim = store_.dim();
  const RowsView rows = store_.rows();
  if (!rows.narrow()) {
    distances_gather_with_norms(store_.metric(), query_, query_norm_, rows.wide_values().data(),
                                dim, slots, norms, count, values);
    return;
  }
  distances_gather_with_norms(store_.metric(), query_, query_norm_, rows.narrow_values().data(),
                              dim, slots, norms, count, values);
}

double ExactDistances::key(std::uint32_t slot) {
  double result = 0.0;
  keys(&slot, 1, &result);
  return result;
}

}  // namespace halqen::graph
