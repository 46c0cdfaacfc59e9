// Which nodes one walk has seen: a mark per node, stamped with the walk's
// epoch, so that starting a walk costs nothing but a counter step.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace halqen::graph {

class VisitedMarks {
 public:
  // Starts a walk over nodes below `count`; every node is unseen.
  void begin(std::size_t count) {
    if (marks_.size() < count) marks_.resize(count, 0);
    if (++epoch_ == 0) {
      // 16-bit marks keep the array in cache; after 65,535 walks they restart.
      std::fill(marks_.begin(), marks_.end(), 0);
      epoch_ = 1;
    }
  }
  // Marks `node` seen; false when it was already.
  bool visit(std::uint32_t node) {
    if (marks_[node] == epoch_) return false;
    marks_[node] = epoch_;
    return true;
  }
  bool seen(std::uint32_t node) const { return marks_[node] == epoch_; }

 private:
  std::vector<std::uint16_t> marks_;
  std::uint16_t epoch_ = 0;
};

}  // namespace halqen::graph
