// The first `capacity` candidates in rank order among those offered, without
// keeping the others: a max-heap of the best so far, built only once full.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/search_hit.hpp"
#include "metrics/rank_key.hpp"

namespace halqen {

class TopK {
 public:
  // Precondition: `capacity` is bounded by the number of candidates that will
  // be offered, never taken raw from a caller (it is allocated up front).
  explicit TopK(std::size_t capacity);

  // Offers distances[i] as id first_id + i for each i < count, passing over
  // the ids for which skip(id) holds; the ids must exceed every id offered
  // before. Once full, a plain comparison with the kept worst distance turns
  // a candidate away: keys rank as distances compare, so a later candidate
  // enters exactly when it is less than the worst, or is a number while the
  // worst is NaN.
  template <class Skip>
  void offer_run(const double* distances, std::size_t count, std::uint64_t first_id, Skip skip) {
    std::size_t i = 0;
    for (; i < count && entries_.size() < capacity_; ++i) {
      if (!skip(first_id + i)) insert(first_id + i, distances[i]);
    }
    if (capacity_ == 0 || entries_.size() < capacity_) return;
    double worst = entries_.front().distance;
    for (; i < count; ++i) {
      const double distance = distances[i];
      const bool enters = distance < worst || (std::isnan(worst) && !std::isnan(distance));
      if (enters && !skip(first_id + i)) {
        insert(first_id + i, distance);
        worst = entries_.front().distance;
      }
    }
  }

  // The kept candidates in rank order; leaves the selection empty.
  std::vector<SearchHit> take_ranked();

 private:
  // Whether a candidate with this key would be kept, given that its id is
  // larger than every id offered before (an equal key then ranks after).
  bool admits(RankKey key) const {
    return entries_.size() < capacity_ || (capacity_ != 0 && key < entries_.front().key);
  }

  // Keeps the candidate. Precondition: admits(rank_key(distance)) and `id`
  // larger than every id inserted before; throws std::logic_error otherwise.
  void insert(std::uint64_t id, double distance);

  struct Entry {
    RankKey key;
    std::uint64_t id;
    double distance;
  };
  static bool ranks_before(const Entry& a, const Entry& b) {
    return a.key != b.key ? a.key < b.key : a.id < b.id;
  }

  std::size_t capacity_;
  std::vector<Entry> entries_;
  bool is_heap_ = false;
  std::uint64_t next_id_ = 0;
};

}  // namespace halqen
