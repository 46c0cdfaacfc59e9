#include "graph/vector_store.hpp"

#include <algorithm>
#include <utility>

#include "common/grow.hpp"
#include "metrics/metric_table.hpp"

namespace halqen::graph {

bool VectorStore::keeps_norms() const {
  return metric_row(metric_).batch.uses_norms();
}

void VectorStore::append(std::vector<double>&& rows, std::size_t count) {
  const bool norms = keeps_norms();
  // Room by a fraction of what is held, not exactly what this call adds:
  // adding one vector at a time would otherwise copy the whole store each
  // time.
  if (norms) reserve_for_append_tight(norms_, count);
  if (count_ == 0) {
    values_ = std::move(rows);
    values_.resize(count * dim_);
  } else {
    reserve_for_append_tight(values_, count * dim_);
    values_.insert(values_.end(), rows.begin(),
                   rows.begin() + static_cast<std::ptrdiff_t>(count * dim_));
  }
  const std::size_t first = count_;
  count_ += count;
  if (norms) {
    norms_.resize(count_);
    squared_norms(values_.data() + first * dim_, count, dim_, norms_.data() + first);
  }
}

namespace {

// What reserve_for_append_tight(values, extra) would give `values`, in a
// new vector filled while searches read the old one.
template <class T>
std::vector<T> grown_copy(const std::vector<T>& values, std::size_t extra) {
  std::vector<T> grown;
  grown.reserve(values.capacity());
  reserve_for_append_tight(grown, values.size() + extra);
  grown.assign(values.begin(), values.end());
  return grown;
}

}  // namespace

void VectorStore::make_room(std::size_t count, SearchDoor& door) {
  const bool norms = keeps_norms();
  const bool values_move = count_ > 0 && values_.size() + count * dim_ > values_.capacity();
  const bool norms_move = norms && norms_.size() + count > norms_.capacity();
  if (!values_move && !norms_move) return;
  std::vector<double> values;
  std::vector<double> kept_norms;
  {
    const SearchesLetIn searches(door);
    if (values_move) values = grown_copy(values_, count * dim_);
    if (norms_move) kept_norms = grown_copy(norms_, count);
  }
  if (values_move) values_.swap(values);
  if (norms_move) norms_.swap(kept_norms);
}

void VectorStore::set_row(std::uint32_t slot, std::span<const double> row) {
  std::copy(row.begin(), row.end(), values_.begin() + static_cast<std::ptrdiff_t>(slot * dim_));
  if (keeps_norms()) norms_[slot] = squared_norm(this->row(slot));
}

void VectorStore::clear_row(std::uint32_t slot) {
  const auto first = values_.begin() + static_cast<std::ptrdiff_t>(slot * dim_);
  std::fill(first, first + static_cast<std::ptrdiff_t>(dim_), 0.0);
  if (keeps_norms()) norms_[slot] = 0.0;
}

void VectorStore::truncate(std::size_t count) {
  if (count >= count_) return;
  count_ = count;
  values_.resize(count * dim_);
  if (keeps_norms()) norms_.resize(count);
}

}  // namespace halqen::graph
