// The slots a filter expression admits, one bit per slot: what a search
// counts before it plans, tests a node against in one read while it walks,
// and scores in slot order when the matches are few.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/slot_book.hpp"
#include "filter/filter_expression.hpp"
#include "graph/attribute_postings.hpp"
#include "graph/label_map.hpp"
#include "graph/numeric_orders.hpp"

namespace halqen::graph {

class MatchSet {
 public:
  // No slot of `slots` in it. Throws std::bad_alloc.
  explicit MatchSet(std::size_t slots) : words_((slots + kWordBits - 1) / kWordBits, 0) {}

  bool contains(std::uint32_t slot) const {
    return ((words_[slot / kWordBits] >> (slot % kWordBits)) & 1U) != 0;
  }
  void add(std::uint32_t slot) {
    words_[slot / kWordBits] |= std::uint64_t{1} << (slot % kWordBits);
  }
  void add(std::span<const std::uint32_t> slots) {
    for (const std::uint32_t slot : slots) add(slot);
  }
  void keep_common(const MatchSet& other);
  void add_all(const MatchSet& other);
  // Keeps the slots of `within` that are not in this set.
  void complement_within(const MatchSet& within);
  std::size_t count() const;
  // Slots below this fit in the set.
  std::size_t capacity() const { return words_.size() * kWordBits; }
  bool empty() const;
  // The slots at these ranks (ascending, each below count()) among the
  // set's slots in order: whole words are counted past, not bit by bit.
  std::vector<std::uint32_t> at_ranks(std::span<const std::uint32_t> ranks) const;

  // visit(slot) for every slot in the set, ascending.
  template <class Visit>
  void for_each(Visit visit) const {
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        visit(static_cast<std::uint32_t>(w * kWordBits + std::countr_zero(bits)));
      }
    }
  }

 private:
  static constexpr std::size_t kWordBits = 64;
  std::vector<std::uint64_t> words_;
};

// What an expression is evaluated against: the index's postings, the
// numeric orders kept beside them, its ids and its slots.
struct MatchSources {
  const AttributePostings& postings;
  NumericOrders& orders;
  const LabelMap& labels;
  const SlotBook& slots;
};

// Adds to `set` the live slots whose value at `position` lies in the range,
// from the view's order and, for the slots changed since, from their values
// now; returns how many (each once).
std::size_t add_in_range(MatchSet& set, const NumericView& view, const AttributePostings& postings,
                         std::size_t position, const std::optional<RangeEnd>& lower,
                         const std::optional<RangeEnd>& upper);

// The live slots the expression admits. Throws std::bad_alloc.
MatchSet matching_slots(const FilterExpression& expression, const MatchSources& sources);

}  // namespace halqen::graph
