// Distances from one operation's query to nodes, each computed once.
#pragma once

#include <cstddef>
#include <cstdint>
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
// Like the visited set, entries are stamped with an epoch, so starting an
// operation costs O(1).
class DistanceMemo {
 public:
  // Forgets every distance and makes room for ids below `node_count`. Call at
  // the start of each operation, before any distance of its query is stored.
  void start(std::size_t node_count);

  // Precondition for the three below: id < the node_count of the last start().
  bool contains(std::uint32_t id) const { return entries_[id].stamp == epoch_; }
  // Precondition: contains(id).
  double value(std::uint32_t id) const { return entries_[id].distance; }
  void store(std::uint32_t id, double distance) { entries_[id] = Entry{distance, epoch_}; }

 private:
  // Value and stamp side by side: one cache line per lookup.
  struct Entry {
    double distance;
    std::uint32_t stamp;
  };
  std::vector<Entry> entries_;
  std::uint32_t epoch_ = 0;
};

}  // namespace halqen
