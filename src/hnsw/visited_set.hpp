// The nodes one layer search has visited, reusable across searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace halqen {

// A node is visited when its stamp equals the current epoch, so starting a
// new search costs O(1) instead of clearing the set. Stamps are one byte so
// that the set of a 20,000-node graph stays in the first-level cache; the
// stamps are cleared once every 255 searches, when the epoch wraps.
class VisitedSet {
 public:
  using Stamp = std::uint8_t;

  // Empties the set and makes room for ids below `node_count`.
  void start(std::size_t node_count);

  // Precondition for the three below: every id < the node_count of the last
  // start().
  bool contains(std::uint32_t id) const { return stamps_[id] == epoch_; }
  void insert(std::uint32_t id) { stamps_[id] = epoch_; }

  // Copies the ids not in the set to `out`, in order, and returns how many.
  // Precondition: `out` has room for ids.size() entries (all may be written).
  std::size_t keep_unvisited(std::span<const std::uint32_t> ids, std::uint32_t* out) const {
    return keep_unvisited_of(ids, out);
  }
  // The same for ids held in fewer bits.
  template <typename Id>
  std::size_t keep_unvisited(std::span<const Id> ids, std::uint32_t* out) const {
    return keep_unvisited_of(ids, out);
  }

 private:
  // Whether an id was visited is unpredictable, so there is no branch on it:
  // every id is written and the count moves past the unvisited ones only.
  template <typename Id>
  std::size_t keep_unvisited_of(std::span<const Id> ids, std::uint32_t* out) const {
    const Stamp* stamps = stamps_.data();
    const Stamp epoch = epoch_;
    std::size_t kept = 0;
    for (const Id id : ids) {
      out[kept] = id;
      kept += stamps[id] != epoch ? 1 : 0;
    }
    return kept;
  }

  std::vector<Stamp> stamps_;
  Stamp epoch_ = 0;
};

}  // namespace halqen
