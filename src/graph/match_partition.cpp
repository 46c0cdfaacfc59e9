#include "graph/match_partition.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>

namespace halqen::graph {
namespace {

// Slots per kernel call: enough rows in flight.
constexpr std::size_t kChunk = 64;

// Keys from `distances` to every slot of `slots`, in chunks, passed to
// `use(index, key)`.
template <class Use>
void for_each_key(DistanceComputer& distances, std::span<const std::uint32_t> slots, Use use) {
  std::array<double, kChunk> keys;
  for (std::size_t begin = 0; begin < slots.size(); begin += kChunk) {
    const std::size_t count = std::min(kChunk, slots.size() - begin);
    distances.keys(slots.data() + begin, count, keys.data());
    for (std::size_t i = 0; i < count; ++i) use(begin + i, keys[i]);
  }
}

std::size_t pivot_count(std::size_t members) {
  const auto wanted = static_cast<std::size_t>(
      std::ceil(MatchPartition::kPivotsPerRoot * std::sqrt(static_cast<double>(members))));
  return std::clamp<std::size_t>(wanted, 1, members);
}

// Finds a vector's nearest pivot among those grouped under its nearest
// heads (about the square root of the pivots, spread over them), so that a
// member costs about 4 root(pivots) distances rather than one per pivot;
// the pivots' rows stay in cache while the members stream past. A member
// whose nearest pivot lies under another head lands in a bucket near it,
// which costs a scan order only, never an answer.
class PivotFinder {
 public:
  // Groups whose heads are nearest a member, searched for its pivot: on
  // Gaussian mixtures, three found the nearest pivot for nearly every
  // member (bench/filtered.py recall unchanged against all pivots).
  static constexpr std::size_t kHeadsProbed = 3;

  PivotFinder(std::span<const std::uint32_t> pivots, const VectorStore& store)
      : pivots_(pivots), store_(store) {
    const auto heads = static_cast<std::size_t>(std::ceil(std::sqrt(pivots.size())));
    for (std::size_t h = 0; h < heads; ++h)
      head_slots_.push_back(pivots[h * pivots.size() / heads]);
    std::vector<std::uint32_t> head_of(pivots.size(), 0);
    for (std::size_t p = 0; p < pivots.size(); ++p) {
      ExactDistances from_pivot(store, pivots[p]);
      head_of[p] = nearest_of(from_pivot, head_slots_);
    }
    group_begins_.assign(heads + 1, 0);
    for (const std::uint32_t h : head_of) ++group_begins_[h + 1];
    std::partial_sum(group_begins_.begin(), group_begins_.end(), group_begins_.begin());
    grouped_.resize(pivots.size());
    std::vector<std::uint32_t> next(group_begins_.begin(), group_begins_.end() - 1);
    for (std::uint32_t p = 0; p < pivots.size(); ++p) grouped_[next[head_of[p]]++] = p;
  }

  // The index of the pivot nearest `slot` among all of `pivots`; of equal
  // ones, the lowest.
  static std::uint32_t nearest_in(const VectorStore& store, std::uint32_t slot,
                                  std::span<const std::uint32_t> pivots) {
    ExactDistances from_member(store, slot);
    return nearest_of(from_member, pivots);
  }

  // The index of the pivot nearest `slot` among those searched; of equal
  // ones, the lowest index.
  std::uint32_t nearest(std::uint32_t slot) {
    ExactDistances from_member(store_, slot);
    head_keys_.resize(head_slots_.size());
    from_member.keys(head_slots_.data(), head_slots_.size(), head_keys_.data());
    order_.resize(head_slots_.size());
    std::iota(order_.begin(), order_.end(), 0U);
    const std::size_t probed = std::min(kHeadsProbed, order_.size());
    std::partial_sort(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(probed),
                      order_.end(), [&](std::uint32_t a, std::uint32_t b) {
                        return head_keys_[a] < head_keys_[b] ||
                               (head_keys_[a] == head_keys_[b] && a < b);
                      });
    searched_.clear();
    for (std::size_t i = 0; i < probed; ++i) {
      const std::uint32_t h = order_[i];
      searched_.insert(searched_.end(), grouped_.begin() + group_begins_[h],
                       grouped_.begin() + group_begins_[h + 1]);
    }
    std::sort(searched_.begin(), searched_.end());
    searched_slots_.clear();
    for (const std::uint32_t p : searched_) searched_slots_.push_back(pivots_[p]);
    return searched_[nearest_of(from_member, searched_slots_)];
  }

 private:
  // The position in `slots` of the nearest, the first of equal ones.
  static std::uint32_t nearest_of(ExactDistances& distances, std::span<const std::uint32_t> slots) {
    double nearest = std::numeric_limits<double>::infinity();
    std::uint32_t chosen = 0;
    for_each_key(distances, slots, [&](std::size_t i, double key) {
      if (key < nearest) {
        nearest = key;
        chosen = static_cast<std::uint32_t>(i);
      }
    });
    return chosen;
  }

  std::span<const std::uint32_t> pivots_;
  const VectorStore& store_;
  std::vector<std::uint32_t> head_slots_;
  std::vector<std::uint32_t> group_begins_;  // per head, into grouped_
  std::vector<std::uint32_t> grouped_;       // pivot indices, by head, ascending
  // Scratch of nearest().
  std::vector<double> head_keys_;
  std::vector<std::uint32_t> order_;
  std::vector<std::uint32_t> searched_;
  std::vector<std::uint32_t> searched_slots_;
};

}  // namespace

MatchPartition MatchPartition::build(std::span<const std::uint32_t> members,
                                     const VectorStore& store) {
  MatchPartition partition;
  partition.built_size_ = members.size();
  if (members.empty()) {
    partition.bucket_begins_.push_back(0);
    return partition;
  }
  const std::size_t pivots = pivot_count(members.size());
  for (std::size_t p = 0; p < pivots; ++p) {
    partition.pivots_.push_back(members[p * members.size() / pivots]);
  }
  PivotFinder finder(partition.pivots_, store);
  std::vector<std::uint32_t> bucket(members.size(), 0);
  for (std::size_t i = 0; i < members.size(); ++i) bucket[i] = finder.nearest(members[i]);
  partition.group(members, bucket);
  return partition;
}

MatchPartition MatchPartition::revised(std::span<const std::uint32_t> leaving,
                                       std::span<const std::uint32_t> joining,
                                       const VectorStore& store) const {
  const auto left = [&](std::uint32_t slot) {
    return std::binary_search(leaving.begin(), leaving.end(), slot);
  };
  MatchPartition next;
  next.built_size_ = built_size_;
  std::vector<std::uint32_t> members;
  std::vector<std::uint32_t> bucket;
  members.reserve(members_.size() + joining.size());
  bucket.reserve(members_.size() + joining.size());
  for (std::size_t p = 0; p < pivots_.size(); ++p) {
    const std::size_t first_kept = members.size();
    for (std::uint32_t i = bucket_begins_[p]; i < bucket_begins_[p + 1]; ++i) {
      if (left(members_[i])) continue;
      members.push_back(members_[i]);
      bucket.push_back(static_cast<std::uint32_t>(next.pivots_.size()));
    }
    if (members.size() == first_kept) continue;
    next.pivots_.push_back(left(pivots_[p]) ? members[first_kept] : pivots_[p]);
  }
  if (next.pivots_.empty()) {
    std::vector<std::uint32_t> sorted(joining.begin(), joining.end());
    std::sort(sorted.begin(), sorted.end());
    MatchPartition fresh = build(sorted, store);
    fresh.built_size_ = built_size_;
    return fresh;
  }
  // Grouping the pivots costs about pivots^1.5 distances: for a few
  // joining members, each is measured against every pivot instead.
  const bool few = joining.size() * joining.size() < next.pivots_.size();
  std::optional<PivotFinder> finder;
  if (!few) finder.emplace(next.pivots_, store);
  for (const std::uint32_t slot : joining) {
    members.push_back(slot);
    bucket.push_back(few ? PivotFinder::nearest_in(store, slot, next.pivots_)
                         : finder->nearest(slot));
  }
  next.group(members, bucket);
  return next;
}

void MatchPartition::group(std::span<const std::uint32_t> members,
                           std::span<const std::uint32_t> bucket) {
  bucket_begins_.assign(pivots_.size() + 1, 0);
  for (const std::uint32_t b : bucket) ++bucket_begins_[b + 1];
  std::partial_sum(bucket_begins_.begin(), bucket_begins_.end(), bucket_begins_.begin());
  members_.resize(members.size());
  std::vector<std::uint32_t> next(bucket_begins_.begin(), bucket_begins_.end() - 1);
  for (std::size_t i = 0; i < members.size(); ++i) members_[next[bucket[i]]++] = members[i];
  for (std::size_t p = 0; p < pivots_.size(); ++p) {
    std::sort(members_.begin() + bucket_begins_[p], members_.begin() + bucket_begins_[p + 1]);
  }
}

std::vector<MatchPartition::KeyedBucket> MatchPartition::keyed_buckets(
    DistanceComputer& distances) const {
  std::vector<KeyedBucket> buckets;
  buckets.reserve(pivots_.size());
  for_each_key(distances, pivots_, [&](std::size_t p, double key) {
    buckets.push_back({key, std::span(members_).subspan(
                                bucket_begins_[p], bucket_begins_[p + 1] - bucket_begins_[p])});
  });
  return buckets;
}

}  // namespace halqen::graph
