#include "graph/vector_store.hpp"

#include <algorithm>
#include <utility>

#include "common/grow.hpp"
#include "metrics/metric_table.hpp"

namespace halqen::graph {

bool float32_values(std::span<const double> values) {
  // NaN never reaches a store; -0.0 and the infinities survive the trip.
  return std::ranges::all_of(
      values, [](double x) { return static_cast<double>(static_cast<float>(x)) == x; });
}

VectorStore::VectorStore(std::size_t dim, MetricKind metric, RowStorage storage)
    : dim_(dim), metric_(metric), storage_(storage), wide_(storage == RowStorage::Float64) {}

bool VectorStore::keeps_norms() const {
  return metric_row(metric_).batch.uses_norms();
}

const void* VectorStore::numbers() const {
  if (mapped_rows_ != nullptr) return mapped_rows_;
  if (wide_) return wide_values_.data();
  return narrow_values_.data();
}

RowsView VectorStore::rows() const {
  return RowsView::over(numbers(), wide_, dim_, count_);
}

const void* VectorStore::row_address(std::uint32_t slot) const {
  return static_cast<const char*>(numbers()) + static_cast<std::size_t>(slot) * row_bytes();
}

void VectorStore::map(const void* rows, const double* norms, std::size_t count,
                      std::shared_ptr<const void> owner) {
  mapping_ = std::move(owner);
  mapped_rows_ = rows;
  mapped_norms_ = norms;
  count_ = count;
}

namespace {

// The narrow rows widened, with the room the narrow ones had.
std::vector<double> widened_copy(const std::vector<float>& narrow) {
  std::vector<double> wide;
  wide.reserve(narrow.capacity());
  wide.assign(narrow.begin(), narrow.end());
  return wide;
}

}  // namespace

void VectorStore::widen_for(std::span<const double> values, SearchDoor& door) {
  if (wide_ || storage_ != RowStorage::Adaptive || float32_values(values)) return;
  std::vector<double> wide;
  {
    const SearchesLetIn searches(door);
    wide = widened_copy(narrow_values_);
  }
  wide_values_.swap(wide);
  std::vector<float>().swap(narrow_values_);
  wide_ = true;
}

void VectorStore::widen() {
  if (wide_) return;
  wide_values_ = widened_copy(narrow_values_);
  std::vector<float>().swap(narrow_values_);
  wide_ = true;
}

void VectorStore::adopt(std::vector<double>&& wide, std::vector<float>&& narrow, std::size_t count,
                        std::span<const std::uint8_t> free) {
  wide_values_ = std::move(wide);
  narrow_values_ = std::move(narrow);
  count_ = count;
  if (keeps_norms()) {
    norms_.reserve(count + count / kLoadedSpareShare);
    norms_.assign(count, 0.0);
  }
  for (std::size_t slot = 0; slot < free.size(); ++slot) {
    if (free[slot] != 0) clear_row(static_cast<std::uint32_t>(slot));
  }
  if (!keeps_norms()) return;
  if (wide_) {
    squared_norms(wide_values_.data(), count, dim_, norms_.data());
    return;
  }
  std::vector<double> scratch;
  for (std::size_t slot = 0; slot < count; ++slot) {
    norms_[slot] = squared_norm(row(static_cast<std::uint32_t>(slot), scratch));
  }
}

void VectorStore::reserve(std::size_t rows) {
  if (wide_) {
    wide_values_.reserve(rows * dim_);
  } else {
    narrow_values_.reserve(rows * dim_);
  }
  if (keeps_norms()) norms_.reserve(rows);
}

void VectorStore::append(std::vector<double>&& rows, std::size_t count) {
  if (!wide_ || count_ > 0) {
    append(std::span<const double>(rows), count);
    return;
  }
  if (keeps_norms()) norms_.resize(count);
  wide_values_ = std::move(rows);
  wide_values_.resize(count * dim_);
  count_ = count;
  if (keeps_norms()) squared_norms(wide_values_.data(), count, dim_, norms_.data());
}

void VectorStore::append(std::span<const double> rows, std::size_t count) {
  const bool norms = keeps_norms();
  const std::size_t numbers = count * dim_;
  // Room by a fraction of what is held, not exactly what this call adds:
  // adding one vector at a time would otherwise copy the whole store each
  // time.
  if (norms) reserve_for_append_tight(norms_, count);
  if (wide_) {
    reserve_for_append_tight(wide_values_, numbers);
    wide_values_.insert(wide_values_.end(), rows.begin(), rows.begin() + numbers);
  } else {
    reserve_for_append_tight(narrow_values_, numbers);
    narrow_values_.insert(narrow_values_.end(), rows.begin(), rows.begin() + numbers);
  }
  const std::size_t first = count_;
  count_ += count;
  if (norms) {
    // From the numbers given: a narrow store's rows are these same values.
    norms_.resize(count_);
    squared_norms(rows.data(), count, dim_, norms_.data() + first);
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

// Whether `extra` more values would move the array.
template <class T>
bool needs_move(const std::vector<T>& values, std::size_t extra) {
  return values.size() + extra > values.capacity();
}

}  // namespace

void VectorStore::make_room(std::size_t count, SearchDoor& door) {
  const bool norms = keeps_norms();
  const std::size_t numbers = count * dim_;
  const bool wide_move = wide_ && count_ > 0 && needs_move(wide_values_, numbers);
  const bool narrow_move = !wide_ && count_ > 0 && needs_move(narrow_values_, numbers);
  const bool norms_move = norms && needs_move(norms_, count);
  if (!wide_move && !narrow_move && !norms_move) return;
  std::vector<double> wide;
  std::vector<float> narrow;
  std::vector<double> kept_norms;
  {
    const SearchesLetIn searches(door);
    if (wide_move) wide = grown_copy(wide_values_, numbers);
    if (narrow_move) narrow = grown_copy(narrow_values_, numbers);
    if (norms_move) kept_norms = grown_copy(norms_, count);
  }
  if (wide_move) wide_values_.swap(wide);
  if (narrow_move) narrow_values_.swap(narrow);
  if (norms_move) norms_.swap(kept_norms);
}

void VectorStore::set_row(std::uint32_t slot, std::span<const double> row) {
  const auto first = static_cast<std::ptrdiff_t>(static_cast<std::size_t>(slot) * dim_);
  if (wide_) {
    std::copy(row.begin(), row.end(), wide_values_.begin() + first);
  } else {
    std::copy(row.begin(), row.end(), narrow_values_.begin() + first);
  }
  if (keeps_norms()) norms_[slot] = squared_norm(row);
}

void VectorStore::clear_row(std::uint32_t slot) {
  const auto first = static_cast<std::ptrdiff_t>(static_cast<std::size_t>(slot) * dim_);
  const auto length = static_cast<std::ptrdiff_t>(dim_);
  if (wide_) {
    std::fill(wide_values_.begin() + first, wide_values_.begin() + first + length, 0.0);
  } else {
    std::fill(narrow_values_.begin() + first, narrow_values_.begin() + first + length, 0.0F);
  }
  if (keeps_norms()) norms_[slot] = 0.0;
}

void VectorStore::truncate(std::size_t count) {
  if (count >= count_) return;
  count_ = count;
  wide_values_.resize(wide_ ? count * dim_ : 0);
  narrow_values_.resize(wide_ ? 0 : count * dim_);
  if (keeps_norms()) norms_.resize(count);
}

}  // namespace halqen::graph
