// What a change did to the values' lists, kept until the change ends: the
// values it touched, the slots that joined or left those that have a
// partition, which the change then revises, and per attribute whose values
// are kept in order the slots whose value there changed
// (graph/partition_upkeep.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

#include "graph/attribute_postings.hpp"

namespace halqen::graph {

// A touched value and, if it had a partition, the slots that moved in or
// out of its list (ascending, distinct).
struct ValueMoves {
  ValueCode value;
  std::vector<std::uint32_t> slots;
};

class ValueChanges {
 public:
  // `slot` joins or leaves the list of `value`; only slots of values with
  // a partition are kept. Throws std::bad_alloc.
  void note(ValueCode value, std::uint32_t slot, bool partitioned, bool ordered) {
    touch(value);
    if (partitioned) moves_.push_back({value.position, value.code, slot});
    if (!ordered) return;
    if (order_changes_.size() <= value.position) order_changes_.resize(value.position + 1);
    order_changes_[value.position].push_back(slot);
  }

  // Per attribute, the slots noted in an ordered one since the last call,
  // ascending and distinct; forgets them. Throws std::bad_alloc.
  std::vector<std::vector<std::uint32_t>> take_order_changes() {
    std::vector<std::vector<std::uint32_t>> taken = std::move(order_changes_);
    order_changes_.clear();
    for (std::vector<std::uint32_t>& slots : taken) {
      std::sort(slots.begin(), slots.end());
      slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    }
    return taken;
  }
  // Every value touched since the last call, ordered by attribute and code,
  // with its moves; forgets them. Throws std::bad_alloc.
  std::vector<ValueMoves> take() {
    std::sort(values_.begin(), values_.end(), [](ValueCode a, ValueCode b) {
      return std::tie(a.position, a.code) < std::tie(b.position, b.code);
    });
    std::sort(moves_.begin(), moves_.end());
    moves_.erase(std::unique(moves_.begin(), moves_.end()), moves_.end());
    std::vector<ValueMoves> taken;
    taken.reserve(values_.size());
    if (values_.empty()) return taken;
    auto move = moves_.begin();
    for (const ValueCode value : values_) {
      ValueMoves entry{.value = value, .slots = {}};
      const Move first{value.position, value.code, 0};
      move = std::lower_bound(move, moves_.end(), first);
      for (; move != moves_.end() && move->position == value.position && move->code == value.code;
           ++move) {
        entry.slots.push_back(move->slot);
      }
      taken.push_back(std::move(entry));
    }
    clear();
    return taken;
  }

  void clear() {
    // Only the marks set: an attribute may have many values.
    for (const ValueCode value : values_) seen_[value.position][value.code] = false;
    values_.clear();
    moves_.clear();
    order_changes_.clear();
  }

 private:
  void touch(ValueCode value) {
    if (seen_.size() <= value.position) seen_.resize(value.position + 1);
    std::vector<bool>& seen = seen_[value.position];
    if (seen.size() <= value.code) seen.resize(value.code + 1, false);
    if (seen[value.code]) return;
    seen[value.code] = true;
    values_.push_back(value);
  }

  struct Move {
    std::size_t position;
    std::uint32_t code;
    std::uint32_t slot;
    auto operator<=>(const Move&) const = default;
  };

  std::vector<std::vector<bool>> seen_;  // per attribute, by code
  std::vector<ValueCode> values_;
  std::vector<Move> moves_;
  std::vector<std::vector<std::uint32_t>> order_changes_;  // per attribute
};

}  // namespace halqen::graph
