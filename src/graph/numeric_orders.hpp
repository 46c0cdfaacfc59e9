// Per attribute, the slots of its numeric values in the order of the
// values, so that a range is two binary searches and one run of slots (an
// attribute of many distinct values, such as a price, would otherwise cost
// a list and a cache miss per value). Built by the first range search after
// the attribute changed and kept, as the partitions are: searches run on several
// threads at once, one lock guards the entries, and a search keeps the
// order it was given even if another replaces it. Derived from the postings
// alone, never saved: the index's bytes do not depend on which searches ran.
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

class NumericOrders {
 public:
  // The order of the values at `position` as the postings hold them now.
  // Throws std::bad_alloc.
  std::shared_ptr<const NumericOrder> of(const AttributePostings& postings, std::size_t position);
  std::uint64_t heap_bytes() const;

 private:
  struct Kept {
    std::uint64_t changes = 0;
    std::shared_ptr<const NumericOrder> order;
  };
  mutable std::mutex mutex_;
  std::map<std::size_t, Kept> kept_;
};

}  // namespace halqen::graph
