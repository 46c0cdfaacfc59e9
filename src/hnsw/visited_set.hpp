// The nodes one layer search has visited, reusable across searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halqen {

// A node is visited when its stamp equals the current epoch, so starting a
// new search costs O(1) instead of clearing the set.
class VisitedSet {
 public:
  // Empties the set and makes room for ids below `node_count`.
  void start(std::size_t node_count);

  // Precondition for both: id < the node_count of the last start().
  bool contains(std::uint32_t id) const { return stamps_[id] == epoch_; }
  void insert(std::uint32_t id) { stamps_[id] = epoch_; }

 private:
  std::vector<std::uint32_t> stamps_;
  std::uint32_t epoch_ = 0;
};

}  // namespace halqen
