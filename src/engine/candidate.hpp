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

// A candidate chosen for an answer; ties go to the lower id, so that an
// answer does not depend on where the index stored its vectors (walks keep
// the slot order: the graph built is the same for the same additions).
struct Answer {
  double key;
  std::uint64_t id;
  std::uint32_t slot;
  // The value is NaN: its key is +inf, as a distance of +inf or a
  // similarity of -inf has, and it comes after them.
  bool nan = false;
};

inline bool nearer(const Candidate& a, const Candidate& b) {
  return a.key < b.key || (a.key == b.key && a.slot < b.slot);
}
inline bool nearer(const Answer& a, const Answer& b) {
  if (a.key != b.key) return a.key < b.key;
  return a.nan != b.nan ? b.nan : a.id < b.id;
}
inline bool farther(const Candidate& a, const Candidate& b) {
  return nearer(b, a);
}

// The same orders as types, which the heap algorithms inline (a function
// pointer they would call).
struct Nearer {
  template <class Item>
  bool operator()(const Item& a, const Item& b) const {
    return nearer(a, b);
  }
};
struct Farther {
  template <class Item>
  bool operator()(const Item& a, const Item& b) const {
    return nearer(b, a);
  }
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

// The best `width` candidates (or answers) so far, the farthest on top.
template <class Item>
class BestOf {
 public:
  void reset(std::size_t width) {
    heap_.clear();
    width_ = width;
  }
  std::size_t size() const { return heap_.size(); }
  bool full() const { return heap_.size() >= width_; }
  const Item& farthest() const { return heap_.front(); }
  // Whether `c` would enter the set.
  bool admits(const Item& c) const { return !full() || nearer(c, farthest()); }
  void offer(Item c) {
    if (!admits(c)) return;
    heap_.push_back(c);
    std::push_heap(heap_.begin(), heap_.end(), Nearer{});
    if (heap_.size() > width_) {
      std::pop_heap(heap_.begin(), heap_.end(), Nearer{});
      heap_.pop_back();
    }
  }
  // The candidates nearest first; the set is left empty.
  std::vector<Item> take_sorted() {
    std::sort_heap(heap_.begin(), heap_.end(), Nearer{});
    std::vector<Item> sorted;
    sorted.swap(heap_);
    return sorted;
  }
  void sorted_into(std::vector<Item>& out) {
    out.assign(heap_.begin(), heap_.end());
    std::sort(out.begin(), out.end(), Nearer{});
  }

 private:
  std::vector<Item> heap_;
  std::size_t width_ = 0;
};

using BestSet = BestOf<Candidate>;
using AnswerSet = BestOf<Answer>;

}  // namespace halqen::graph
