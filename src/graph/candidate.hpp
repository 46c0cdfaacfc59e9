// A node met by a walk, and the two heaps a walk keeps of them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace halqen::graph {

// key: the walk key (distance order, never NaN); ties go to the lower slot.
struct Candidate {
  double key;
  std::uint32_t slot;
};

inline bool nearer(const Candidate& a, const Candidate& b) {
  return a.key < b.key || (a.key == b.key && a.slot < b.slot);
}
inline bool farther(const Candidate& a, const Candidate& b) {
  return nearer(b, a);
}

// The same orders as types, which the heap algorithms inline (a function
// pointer they would call).
struct Nearer {
  bool operator()(const Candidate& a, const Candidate& b) const { return nearer(a, b); }
};
struct Farther {
  bool operator()(const Candidate& a, const Candidate& b) const { return nearer(b, a); }
};

// The nearest candidate on top: what a walk expands next.
class Frontier {
 public:
  void clear() { heap_.clear(); }
  bool empty() const { return heap_.empty(); }
  const Candidate& nearest() const { return heap_.front(); }
  void push(Candidate c) {
    heap_.push_back(c);
    std::push_heap(heap_.begin(), heap_.end(), Farther{});
  }
  Candidate pop() {
    std::pop_heap(heap_.begin(), heap_.end(), Farther{});
    const Candidate c = heap_.back();
    heap_.pop_back();
    return c;
  }

 private:
  std::vector<Candidate> heap_;
};

// The best `width` candidates so far, the farthest on top.
class BestSet {
 public:
  void reset(std::size_t width) {
    heap_.clear();
    width_ = width;
  }
  std::size_t size() const { return heap_.size(); }
  bool full() const { return heap_.size() >= width_; }
  const Candidate& farthest() const { return heap_.front(); }
  // Whether `c` would enter the set.
  bool admits(const Candidate& c) const { return !full() || nearer(c, farthest()); }
  void offer(Candidate c) {
    if (!admits(c)) return;
    heap_.push_back(c);
    std::push_heap(heap_.begin(), heap_.end(), Nearer{});
    if (heap_.size() > width_) {
      std::pop_heap(heap_.begin(), heap_.end(), Nearer{});
      heap_.pop_back();
    }
  }
  // The candidates nearest first; the set is left empty.
  std::vector<Candidate> take_sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), Nearer{});
    std::vector<Candidate> sorted;
    sorted.swap(heap_);
    return sorted;
  }
  void sorted_into(std::vector<Candidate>& out) {
    out.assign(heap_.begin(), heap_.end());
    std::sort(out.begin(), out.end(), Nearer{});
  }

 private:
  std::vector<Candidate> heap_;
  std::size_t width_ = 0;
};

}  // namespace halqen::graph
