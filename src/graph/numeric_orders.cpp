#include "graph/numeric_orders.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
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

NumericView NumericOrders::of(const AttributePostings& postings, std::size_t position) {
  std::lock_guard lock(mutex_);
  Kept& kept = kept_[position];
  const bool stale = kept.overlay && kept.overlay->slots.size() > kOverlayFloor &&
                     kept.overlay->slots.size() * kOverlayShare > kept.order->size();
  if (!kept.order || stale) {
    kept.order = std::make_shared<const NumericOrder>(postings, position);
    kept.overlay.reset();
  }
  return {kept.order, kept.overlay};
}

bool NumericOrders::holds(std::size_t position) const {
  std::lock_guard lock(mutex_);
  const auto found = kept_.find(position);
  return found != kept_.end() && found->second.order != nullptr;
}

void NumericOrders::note_changed(std::size_t position, std::span<const std::uint32_t> slots) {
  std::lock_guard lock(mutex_);
  const auto found = kept_.find(position);
  if (found == kept_.end() || !found->second.order || slots.empty()) return;
  auto overlay = std::make_shared<OrderOverlay>();
  const std::vector<std::uint32_t> none;
  const std::vector<std::uint32_t>& before =
      found->second.overlay ? found->second.overlay->slots : none;
  overlay->slots.reserve(before.size() + slots.size());
  std::ranges::set_union(before, slots, std::back_inserter(overlay->slots));
  overlay->words.assign(overlay->slots.back() / OrderOverlay::kWordBits + 1, 0);
  for (const std::uint32_t slot : overlay->slots) {
    overlay->words[slot / OrderOverlay::kWordBits] |= std::uint64_t{1}
                                                      << (slot % OrderOverlay::kWordBits);
  }
  found->second.overlay = std::move(overlay);
}

void NumericOrders::forget_all() {
  std::lock_guard lock(mutex_);
  kept_.clear();
}

std::uint64_t NumericOrders::heap_bytes() const {
  std::lock_guard lock(mutex_);
  std::uint64_t bytes = 0;
  for (const auto& [position, kept] : kept_) {
    if (kept.order) bytes += sizeof(NumericOrder) + kept.order->heap_bytes();
    if (kept.overlay) {
      bytes += sizeof(OrderOverlay) + kept.overlay->slots.capacity() * sizeof(std::uint32_t) +
               kept.overlay->words.capacity() * sizeof(std::uint64_t);
    }
  }
  return bytes;
}

}  // namespace halqen::graph
