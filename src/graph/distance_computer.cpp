#include "graph/distance_computer.hpp"

#include <algorithm>

#include "metrics/batch.hpp"

namespace halqen::graph {
namespace {

// Lines of a row asked for ahead: the hardware prefetcher follows each row
// once its first lines arrive.
constexpr std::size_t kPrefetchLines = 4;
constexpr std::size_t kDoublesPerLine = 8;

}  // namespace

ExactDistances::ExactDistances(const VectorStore& store, std::span<const double> query)
    : store_(store), query_(query), order_(store.metric()) {
  if (store_.keeps_norms()) query_norm_ = squared_norm(query_);
}

void ExactDistances::keys(const std::uint32_t* slots, std::size_t count, double* keys) {
  if (count == 0) return;
  const double* norms = nullptr;
  if (store_.keeps_norms()) {
    gathered_norms_.resize(count);
    for (std::size_t i = 0; i < count; ++i) gathered_norms_[i] = store_.norm(slots[i]);
    norms = gathered_norms_.data();
  }
  distances_gather_with_norms(store_.metric(), query_, query_norm_, store_.data(), store_.dim(),
                              slots, norms, count, keys);
  for (std::size_t i = 0; i < count; ++i) keys[i] = order_.key(keys[i]);
}

double ExactDistances::key(std::uint32_t slot) {
  double result = 0.0;
  keys(&slot, 1, &result);
  return result;
}

void ExactDistances::prefetch(std::uint32_t slot) const {
  const double* row = store_.row(slot).data();
  const std::size_t lines =
      std::min(kPrefetchLines, (store_.dim() + kDoublesPerLine - 1) / kDoublesPerLine);
  for (std::size_t line = 0; line < lines; ++line) {
    __builtin_prefetch(row + line * kDoublesPerLine);
  }
}

}  // namespace halqen::graph
