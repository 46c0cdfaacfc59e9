// Per attribute value, the slots of the vectors that hold it: what lets a
// filtered search count its matches before it starts, score them directly
// when they are few, and test a node with one array read when it walks.
//
// Everything here is derived from the metadata records, so an index rebuilt
// from its parts rebuilds its postings by inserting each slot's record again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "metadata/metadata.hpp"

namespace halqen::graph {

// A value's code at one attribute.
struct ValueCode {
  std::size_t position = 0;
  std::uint32_t code = 0;
};

// The values a filter admits at one attribute, as that attribute's codes.
struct ValueSelection {
  std::size_t position = 0;
  std::vector<std::uint32_t> codes;  // distinct, ascending
  std::size_t count = 0;             // vectors holding one of them
};

class AttributePostings {
 public:
  // The code of a slot without a value, or with NaN: it matches nothing.
  static constexpr std::uint32_t kNoCode = std::numeric_limits<std::uint32_t>::max();

  explicit AttributePostings(std::size_t attributes) : attributes_(attributes) {}

  // Records the values of `slot`, one per attribute in schema order (an
  // empty record: none). Slots may come in any order, so that a freed slot
  // can be used again. Throws std::bad_alloc.
  void insert(std::uint32_t slot, std::span<const Metadata> record);
  // Forgets the values of `slot`. A value no slot holds any more is
  // forgotten too, and its code given to the next new value (else every
  // distinct value ever added would stay): those codes are returned, for
  // whatever was kept by them.
  std::vector<ValueCode> erase(std::uint32_t slot);

  // The codes of the values at `position` that equal one of `values` (the
  // metadata equality: NaN matches nothing, -0.0 matches 0.0, 1 is not 1.0).
  ValueSelection select(std::size_t position, std::span<const Metadata> values) const;
  // visit(code, value) for every distinct value held at `position`.
  template <class Visit>
  void for_each_value(std::size_t position, Visit visit) const {
    const std::vector<const Metadata*>& values = attributes_[position].value_of_code;
    for (std::uint32_t code = 0; code < values.size(); ++code) {
      if (values[code] != nullptr) visit(code, *values[code]);
    }
  }
  // The slots holding the value of `code` at `position`, ascending.
  std::span<const std::uint32_t> slots(std::size_t position, std::uint32_t code) const {
    return attributes_[position].slots_by_code[code];
  }
  // The value of `code` at `position`, or null where no slot holds it.
  const Metadata* value(std::size_t position, std::uint32_t code) const {
    const std::vector<const Metadata*>& values = attributes_[position].value_of_code;
    return code < values.size() ? values[code] : nullptr;
  }
  // The code of the value of `slot` at `position`, or kNoCode.
  std::uint32_t code(std::size_t position, std::uint32_t slot) const {
    const std::vector<std::uint32_t>& codes = attributes_[position].code_of_slot;
    return slot < codes.size() ? codes[slot] : kNoCode;
  }
  // code(position, slot) for every slot recorded so far, by slot.
  std::span<const std::uint32_t> codes(std::size_t position) const {
    return attributes_[position].code_of_slot;
  }

  // The lists' bytes and an estimate of the value maps' nodes and buckets.
  std::uint64_t heap_bytes() const;

 private:
  struct ValueHash {
    std::size_t operator()(const Metadata& value) const;
  };
  struct Attribute {
    std::unordered_map<Metadata, std::uint32_t, ValueHash> code_of_value;
    // The map's key of each code in use (map nodes never move).
    std::vector<const Metadata*> value_of_code;
    std::vector<std::vector<std::uint32_t>> slots_by_code;
    std::vector<std::uint32_t> code_of_slot;
    std::vector<std::uint32_t> free_codes;  // of values forgotten, the last freed on top
  };

  std::uint32_t code_for(Attribute& attribute, const Metadata& value);
  static void forget_value(Attribute& attribute, std::uint32_t code);

  std::vector<Attribute> attributes_;
};

}  // namespace halqen::graph
