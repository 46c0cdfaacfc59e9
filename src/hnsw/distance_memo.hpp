// Distances from one operation's query to nodes, each computed once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace halqen {

// One search or insertion runs several layer searches with the same query
// (the search's query, or the vector being inserted), and they meet many of
// the same nodes: the descent's nodes again at layer 0, and during an
// insertion the whole graph, since node 0's expansion reaches every node.
// The metric is a pure function of the query and the stored vector, so a
// distance remembered from an earlier layer search of the same operation is
// the value a new computation would return, to the bit.
//
// Entries are stamped with an epoch, so starting an operation costs O(1).
// The stamps are one byte, apart from the distances: the lookup of every
// node a search meets stays in the first-level cache, and only a hit reads
// a distance. They are cleared once every 255 operations, when the epoch
// wraps.
class DistanceMemo {
 public:
  using Stamp = std::uint8_t;

  // Forgets every distance and makes room for ids below `node_count`. Call at
  // the start of each operation, before any distance of its query is stored.
  void start(std::size_t node_count);

  // start(), for an operation on `graph` (its address, say). Returns whether
  // the last operation started here on the same graph asked for the
  // distances of at least half of its nodes: this one most likely will too,
  // and computing all of them in one pass in id order (hold_all) then costs
  // less than reading each vector where an id points.
  bool start_for(const void* graph, std::size_t node_count);

  // Marks every id below the last start's node_count as held and returns
  // the room for their distances, which the caller fills before any lookup.
  std::span<double> hold_all();

  // Counts distances the operation asked for, held already or not.
  void count_requests(std::size_t count) { requests_ += count; }

  // From here to the next start(), store() keeps nothing: for the last
  // layer search of an operation, whose distances nothing reads again.
  void stop_storing() { storing_ = false; }

  // Precondition for the three below: id < the node_count of the last start().
  bool contains(std::uint32_t id) const { return stamps_[id] == epoch_; }
  // Precondition: contains(id).
  double value(std::uint32_t id) const { return distances_[id]; }
  void store(std::uint32_t id, double distance) {
    if (storing_) {
      distances_[id] = distance;
      stamps_[id] = epoch_;
    }
  }

 private:
  std::vector<Stamp> stamps_;
  std::vector<double> distances_;
  Stamp epoch_ = 0;
  bool storing_ = true;
  std::size_t node_count_ = 0;
  // The last operation's graph (null after a plain start) and its requests.
  const void* graph_ = nullptr;
  std::size_t requests_ = 0;
};

}  // namespace halqen
