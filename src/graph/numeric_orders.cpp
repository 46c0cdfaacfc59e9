#include "graph/numeric_orders.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <variant>

namespace halqen::graph {

NumericOrder::NumericOrder(const AttributePostings& postings, std::size_t position) {
  struct Held {
    const Metadata* number;
    std::uint32_t code;
  };
  std::vector<Held> held;
  postings.for_each_value(position, [&](std::uint32_t code, const Metadata& value) {
    if (!std::holds_alternative<std::string>(value.value)) held.push_back({&value, code});
  });
  // Equal numbers of both kinds (1 and 1.0) keep the order of their codes.
  std::ranges::sort(held, [](const Held& a, const Held& b) {
    const int order = compare_numbers(*a.number, *b.number);
    return order != 0 ? order < 0 : a.code < b.code;
  });
  values_.reserve(held.size());
  for (const Held& value : held) {
    values_.push_back({*value.number, slots_.size()});
    const std::span<const std::uint32_t> slots = postings.slots(position, value.code);
    slots_.insert(slots_.end(), slots.begin(), slots.end());
  }
}

std::size_t NumericOrder::first_from(const RangeEnd& lower) const {
  const auto first = std::ranges::partition_point(values_, [&](const Value& value) {
    const int order = compare_numbers(value.number, lower.number);
    return order < 0 || (order == 0 && !lower.inclusive);
  });
  return static_cast<std::size_t>(first - values_.begin());
}

std::size_t NumericOrder::first_past(const RangeEnd& upper) const {
  const auto past = std::ranges::partition_point(values_, [&](const Value& value) {
    const int order = compare_numbers(value.number, upper.number);
    return order < 0 || (order == 0 && upper.inclusive);
  });
  return static_cast<std::size_t>(past - values_.begin());
}

std::span<const std::uint32_t> NumericOrder::slots_in(const std::optional<RangeEnd>& lower,
                                                      const std::optional<RangeEnd>& upper) const {
  const std::size_t first = lower ? first_from(*lower) : 0;
  const std::size_t past = upper ? first_past(*upper) : values_.size();
  if (first >= past) return {};
  const std::size_t begin = slot_offset(first);
  return std::span(slots_).subspan(begin, slot_offset(past) - begin);
}

std::shared_ptr<const NumericOrder> NumericOrders::of(const AttributePostings& postings,
                                                      std::size_t position) {
  const std::uint64_t changes = postings.changes(position);
  std::lock_guard lock(mutex_);
  Kept& kept = kept_[position];
  if (!kept.order || kept.changes != changes) {
    kept.order = std::make_shared<const NumericOrder>(postings, position);
    kept.changes = changes;
  }
  return kept.order;
}

std::uint64_t NumericOrders::heap_bytes() const {
  std::lock_guard lock(mutex_);
  std::uint64_t bytes = 0;
  for (const auto& [position, kept] : kept_) {
    if (kept.order) bytes += sizeof(NumericOrder) + kept.order->heap_bytes();
  }
  return bytes;
}

}  // namespace halqen::graph
