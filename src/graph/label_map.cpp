#include "graph/label_map.hpp"

#include <algorithm>
#include <bit>

#include "common/grow.hpp"

namespace halqen::graph {
namespace {

// The table is grown before it is more than 3/4 full.
constexpr std::size_t kLoadNumerator = 3;
constexpr std::size_t kLoadDenominator = 4;
constexpr std::size_t kMinTable = 16;

std::uint64_t mix(std::uint64_t x) {
  x = (x ^ (x >> 33)) * 0xFF51AFD7ED558CCDULL;
  x = (x ^ (x >> 33)) * 0xC4CEB9FE1A85EC53ULL;
  return x ^ (x >> 33);
}

// The first position of `labels` whose id occurs earlier in it.
std::optional<std::size_t> first_repeat(std::span<const std::uint64_t> labels) {
  std::vector<std::pair<std::uint64_t, std::size_t>> sorted;
  sorted.reserve(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) sorted.emplace_back(labels[i], i);
  std::sort(sorted.begin(), sorted.end());
  std::optional<std::size_t> first;
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (sorted[i].first != sorted[i - 1].first) continue;
    if (!first || sorted[i].second < *first) first = sorted[i].second;
  }
  return first;
}

}  // namespace

std::size_t LabelMap::home(std::uint64_t label) const {
  return mix(label) & (table_.size() - 1);
}

std::optional<std::uint32_t> LabelMap::slot_of(std::uint64_t label) const {
  if (labels_.empty()) {
    if (label < count_) return static_cast<std::uint32_t>(label);
    return std::nullopt;
  }
  for (std::size_t at = home(label);; at = (at + 1) & (table_.size() - 1)) {
    const Entry& entry = table_[at];
    if (entry.slot == kEmpty) return std::nullopt;
    if (entry.label == label) return entry.slot;
  }
}

std::optional<GraphError> LabelMap::check(std::span<const std::uint64_t> labels,
                                          bool may_be_present) const {
  const std::optional<std::size_t> repeat = first_repeat(labels);
  for (std::size_t row = 0; row < labels.size(); ++row) {
    if (labels[row] > kLargestId) {
      return GraphError{.kind = GraphErrorKind::IdTooLarge, .row = row, .detail = labels[row]};
    }
    if (repeat && *repeat == row) {
      return GraphError{.kind = GraphErrorKind::RepeatedId, .row = row, .detail = labels[row]};
    }
    if (!may_be_present && slot_of(labels[row])) {
      return GraphError{.kind = GraphErrorKind::DuplicateId, .row = row, .detail = labels[row]};
    }
  }
  return std::nullopt;
}

void LabelMap::erase_entry(std::uint64_t label) {
  const std::size_t mask = table_.size() - 1;
  std::size_t at = home(label);
  while (table_[at].label != label || table_[at].slot == kEmpty) at = (at + 1) & mask;
  // Backward shift: each later entry of the run moves into the hole when
  // its home lies at or before the hole, so every probe still finds it.
  for (std::size_t next = (at + 1) & mask; table_[next].slot != kEmpty; next = (next + 1) & mask) {
    const std::size_t wanted = home(table_[next].label);
    if (((next - wanted) & mask) >= ((next - at) & mask)) {
      table_[at] = table_[next];
      at = next;
    }
  }
  table_[at] = Entry{0, kEmpty};
}

void LabelMap::release(std::uint32_t slot) {
  erase_entry(labels_[slot]);
  labels_[slot] = kNoLabel;
}

void LabelMap::assign(std::uint32_t slot, std::uint64_t label) {
  labels_[slot] = label;
  insert_entry(label, slot);
  next_default_ = std::max(next_default_, label + 1);
}

void LabelMap::insert_entry(std::uint64_t label, std::uint32_t slot) {
  std::size_t at = home(label);
  while (table_[at].slot != kEmpty) at = (at + 1) & (table_.size() - 1);
  table_[at] = Entry{label, slot};
}

void LabelMap::grow_table(std::size_t entries) {
  const std::size_t wanted =
      std::bit_ceil(std::max(kMinTable, entries * kLoadDenominator / kLoadNumerator + 1));
  if (wanted <= table_.size()) return;
  std::vector<Entry> old(wanted, Entry{0, kEmpty});
  old.swap(table_);
  for (const Entry& entry : old) {
    if (entry.slot != kEmpty) insert_entry(entry.label, entry.slot);
  }
}

void LabelMap::materialise(std::size_t extra) {
  std::vector<std::uint64_t> labels;
  labels.reserve(count_ + extra);
  for (std::size_t slot = 0; slot < count_; ++slot) labels.push_back(slot);
  grow_table(count_ + extra);
  for (std::size_t slot = 0; slot < count_; ++slot) {
    insert_entry(slot, static_cast<std::uint32_t>(slot));
  }
  labels_.swap(labels);
}

void LabelMap::reserve(std::span<const std::uint64_t> labels) {
  bool stays_identity = labels_.empty();
  for (std::size_t i = 0; i < labels.size() && stays_identity; ++i) {
    stays_identity = labels[i] == count_ + i && next_default_ == count_;
  }
  if (stays_identity) return;
  if (labels_.empty()) {
    materialise(labels.size());
    return;
  }
  reserve_for_append_tight(labels_, labels.size());
  grow_table(count_ + labels.size());
}

void LabelMap::append(std::span<const std::uint64_t> labels) {
  // A map materialised while empty has a table but no labels yet.
  const bool materialised = !table_.empty();
  for (const std::uint64_t label : labels) {
    if (materialised) {
      labels_.push_back(label);
      insert_entry(label, static_cast<std::uint32_t>(count_));
    }
    ++count_;
    next_default_ = std::max(next_default_, label + 1);
  }
}

std::optional<LabelMap> LabelMap::from_labels(std::span<const std::uint64_t> labels,
                                              std::uint64_t next_default) {
  LabelMap map;
  std::vector<std::uint64_t> live;
  live.reserve(labels.size());
  for (const std::uint64_t label : labels) {
    if (label != kNoLabel) live.push_back(label);
  }
  if (map.check(live)) return std::nullopt;
  map.materialise(labels.size());
  for (const std::uint64_t label : labels) {
    const auto slot = static_cast<std::uint32_t>(map.count_++);
    map.labels_.push_back(label);
    if (label == kNoLabel) continue;
    map.insert_entry(label, slot);
    map.next_default_ = std::max(map.next_default_, label + 1);
  }
  if (next_default < map.next_default_) return std::nullopt;
  map.next_default_ = next_default;
  return map;
}

}  // namespace halqen::graph
