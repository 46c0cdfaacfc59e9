#include "metadata/metadata_store.hpp"

#include <iterator>
#include <stdexcept>
#include <string>

#include "common/grow.hpp"

namespace halqen {

void MetadataStore::append(std::span<const Metadata> record) {
  std::vector<Metadata> copies(record.begin(), record.end());
  reserve_for_append(values_, copies.size());
  reserve_for_append(record_ends_, 1);
  values_.insert(values_.end(), std::make_move_iterator(copies.begin()),
                 std::make_move_iterator(copies.end()));
  record_ends_.push_back(values_.size());
}

void MetadataStore::append_without_record() {
  append({});
}

std::uint64_t MetadataStore::record_begin(std::uint64_t node) const {
  return node == 0 ? 0 : record_ends_[node - 1];
}

const Metadata* MetadataStore::value(std::uint64_t node, std::size_t position) const {
  if (node >= record_ends_.size()) {
    return nullptr;
  }
  const std::uint64_t begin = record_begin(node);
  if (position >= record_ends_[node] - begin) {
    return nullptr;
  }
  return &values_[begin + position];
}

std::span<const Metadata> MetadataStore::record(std::uint64_t node) const {
  if (node >= record_ends_.size()) {
    throw std::out_of_range("metadata record of node " + std::to_string(node) + " requested, " +
                            std::to_string(record_ends_.size()) + " nodes stored");
  }
  const std::uint64_t begin = record_begin(node);
  return std::span<const Metadata>(values_).subspan(begin, record_ends_[node] - begin);
}

}  // namespace halqen
