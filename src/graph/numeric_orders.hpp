// Per attribute, the slots of its numeric values in the order of the
// values, so that a range is two binary searches and one run of slots (an
// attribute of many distinct values, such as a price, would otherwise cost
// a list and a cache miss per value). Built by the first range search and
// kept; a change notes the slots it touched beside the order, whose values
// a range search reads anew, until they are many enough that the order is
// built again (a service that adds between its searches does not sort per
// search). Searches run on several threads at once: one lock guards the
// entries, and a search keeps the view it was given even if another
// replaces it. Derived from the postings alone, never saved: the index's
// bytes do not depend on which searches ran.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter_expression.hpp"
#include "graph/attribute_postings.hpp"

namespace halqen::graph {

class NumericOrder {
 public:
  // The numbers among `postings`' values at `position` (a text or NaN is
  // none), sorted, with their slots. Throws std::bad_alloc.
  NumericOrder(const AttributePostings& postings, std::size_t position);

  // The slots whose value lies within the range, by value.
  std::span<const std::uint32_t> slots_in(const std::optional<RangeEnd>& lower,
                                          const std::optional<RangeEnd>& upper) const;
  // The slots it orders.
  std::size_t size() const { return slots_.size(); }
  std::uint64_t heap_bytes() const {
    return values_.capacity() * sizeof(Value) + slots_.capacity() * sizeof(std::uint32_t);
  }

 private:
  // A distinct number, and where its slots start in slots_.
  struct Value {
    Metadata number;
    std::size_t first_slot;
  };
  // Where the values at and past the first admitted by `lower` start, or
  // those past the last admitted by `upper`.
  std::size_t first_from(const RangeEnd& lower) const;
  std::size_t first_past(const RangeEnd& upper) const;
  std::size_t slot_offset(std::size_t value) const {
    return value < values_.size() ? values_[value].first_slot : slots_.size();
  }

  std::vector<Value> values_;
  std::vector<std::uint32_t> slots_;
};

// The slots whose values changed since an order was built: their places in
// the order are not trusted, their values are read anew.
struct OrderOverlay {
  static constexpr std::size_t kWordBits = 64;
  std::vector<std::uint32_t> slots;  // ascending, distinct
  std::vector<std::uint64_t> words;  // a bit per slot of `slots`
  bool contains(std::uint32_t slot) const {
    const std::size_t word = slot / kWordBits;
    return word < words.size() && ((words[word] >> (slot % kWordBits)) & 1U) != 0;
  }
};

// An order and what changed since it was built (null: nothing).
struct NumericView {
  std::shared_ptr<const NumericOrder> order;
  std::shared_ptr<const OrderOverlay> overlay;
};

class NumericOrders {
 public:
  // The order of the values at `position`, built now if there is none or
  // too much changed since. Throws std::bad_alloc.
  NumericView of(const AttributePostings& postings, std::size_t position);
  bool holds(std::size_t position) const;
  // The values of `slots` (ascending, distinct) at `position` changed: a
  // change ends. Throws std::bad_alloc.
  void note_changed(std::size_t position, std::span<const std::uint32_t> slots);
  // Every order dropped, as after a change that failed half done.
  void forget_all();
  std::uint64_t heap_bytes() const;

 private:
  // An order is built again once the slots changed since outnumber this
  // share of it (and kOverlayFloor): each range search reads them anew.
  static constexpr std::size_t kOverlayShare = 16;
  static constexpr std::size_t kOverlayFloor = 1024;

  struct Kept {
    std::shared_ptr<const NumericOrder> order;
    std::shared_ptr<const OrderOverlay> overlay;
  };
  mutable std::mutex mutex_;
  std::map<std::size_t, Kept> kept_;
};

}  // namespace halqen::graph
