#include "graph/attribute_postings.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <variant>

#include "common/sorted_distinct.hpp"

namespace halqen::graph {
namespace {

// -0.0 and 0.0 are equal values: one key, one hash.
Metadata canonical(const Metadata& value) {
  if (const double* number = std::get_if<double>(&value.value); number && *number == 0.0) {
    return Metadata::Float(0.0);
  }
  return value;
}

bool matches_nothing(const Metadata& value) {
  const double* number = std::get_if<double>(&value.value);
  return number != nullptr && std::isnan(*number);
}

void insert_sorted(std::vector<std::uint32_t>& slots, std::uint32_t slot) {
  if (slots.empty() || slots.back() < slot) {
    slots.push_back(slot);
    return;
  }
  slots.insert(std::lower_bound(slots.begin(), slots.end(), slot), slot);
}

}  // namespace

std::size_t AttributePostings::ValueHash::operator()(const Metadata& value) const {
  return std::hash<decltype(value.value)>{}(value.value);
}

std::uint32_t AttributePostings::code_for(Attribute& attribute, const Metadata& value) {
  if (matches_nothing(value)) return kNoCode;
  const Metadata key = canonical(value);
  const auto found = attribute.code_of_value.find(key);
  if (found != attribute.code_of_value.end()) return found->second;
  const bool reused = !attribute.free_codes.empty();
  const auto code = reused ? attribute.free_codes.back()
                           : static_cast<std::uint32_t>(attribute.slots_by_code.size());
  if (!reused) {
    attribute.slots_by_code.emplace_back();
    attribute.value_of_code.push_back(nullptr);
  }
  const auto entry = attribute.code_of_value.emplace(key, code).first;
  if (reused) attribute.free_codes.pop_back();
  attribute.value_of_code[code] = &entry->first;
  return code;
}

void AttributePostings::forget_value(Attribute& attribute, std::uint32_t code) {
  attribute.code_of_value.erase(attribute.code_of_value.find(*attribute.value_of_code[code]));
  attribute.value_of_code[code] = nullptr;
  std::vector<std::uint32_t>().swap(attribute.slots_by_code[code]);
  attribute.free_codes.push_back(code);
}

void AttributePostings::insert(std::uint32_t slot, std::span<const Metadata> record) {
  for (std::size_t position = 0; position < attributes_.size(); ++position) {
    Attribute& attribute = attributes_[position];
    if (attribute.code_of_slot.size() <= slot) attribute.code_of_slot.resize(slot + 1, kNoCode);
    if (position >= record.size()) continue;
    const std::uint32_t code = code_for(attribute, record[position]);
    if (code == kNoCode) continue;
    insert_sorted(attribute.slots_by_code[code], slot);
    attribute.code_of_slot[slot] = code;
  }
}

std::vector<ValueCode> AttributePostings::erase(std::uint32_t slot) {
  std::vector<ValueCode> forgotten;
  for (std::size_t position = 0; position < attributes_.size(); ++position) {
    Attribute& attribute = attributes_[position];
    if (slot >= attribute.code_of_slot.size()) continue;
    const std::uint32_t code = attribute.code_of_slot[slot];
    if (code == kNoCode) continue;
    std::vector<std::uint32_t>& slots = attribute.slots_by_code[code];
    slots.erase(std::lower_bound(slots.begin(), slots.end(), slot));
    attribute.code_of_slot[slot] = kNoCode;
    if (slots.empty()) {
      forget_value(attribute, code);
      forgotten.push_back({position, code});
    }
  }
  return forgotten;
}

ValueSelection AttributePostings::select(std::size_t position,
                                         std::span<const Metadata> values) const {
  ValueSelection selection;
  selection.position = position;
  const Attribute& attribute = attributes_[position];
  for (const Metadata& value : values) {
    if (matches_nothing(value)) continue;
    const auto found = attribute.code_of_value.find(canonical(value));
    if (found != attribute.code_of_value.end()) selection.codes.push_back(found->second);
  }
  sort_distinct(selection.codes);
  for (const std::uint32_t code : selection.codes) {
    selection.count += attribute.slots_by_code[code].size();
  }
  return selection;
}

std::uint64_t AttributePostings::heap_bytes() const {
  // A map node holds its pair and a link; a bucket, one pointer.
  constexpr std::uint64_t kNodeExtra = sizeof(void*);
  std::uint64_t bytes = attributes_.capacity() * sizeof(Attribute);
  for (const Attribute& attribute : attributes_) {
    bytes += attribute.code_of_value.size() *
                 (sizeof(std::pair<const Metadata, std::uint32_t>) + kNodeExtra) +
             attribute.code_of_value.bucket_count() * sizeof(void*);
    bytes += attribute.slots_by_code.capacity() * sizeof(std::vector<std::uint32_t>) +
             attribute.value_of_code.capacity() * sizeof(const Metadata*) +
             (attribute.code_of_slot.capacity() + attribute.free_codes.capacity()) *
                 sizeof(std::uint32_t);
    for (const std::vector<std::uint32_t>& slots : attribute.slots_by_code) {
      bytes += slots.capacity() * sizeof(std::uint32_t);
    }
  }
  return bytes;
}

}  // namespace halqen::graph
