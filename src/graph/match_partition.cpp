#include "graph/match_partition.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

namespace halqen::graph {
namespace {

// Slots per kernel call: enough rows in flight.
constexpr std::size_t kChunk = 64;

// Keys from `distances` to every slot of `slots`, in chunks, passed to
// `use(index, key)`.
template <class Use>
void for_each_key(ExactDistances& distances, std::span<const std::uint32_t> slots, Use use) {
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

}  // namespace

MatchPartition MatchPartition::build(std::span<const std::uint32_t> members,
                                     const VectorStore& store) {
  MatchPartition partition;
  if (members.empty()) {
    partition.bucket_begins_.push_back(0);
    return partition;
  }
  const std::size_t pivots = pivot_count(members.size());
  for (std::size_t p = 0; p < pivots; ++p) {
    partition.pivots_.push_back(members[p * members.size() / pivots]);
  }
  // Pivot by pivot, so that each pass reads the members in slot order.
  std::vector<double> nearest_key(members.size(), std::numeric_limits<double>::infinity());
  std::vector<std::uint32_t> bucket(members.size(), 0);
  for (std::uint32_t p = 0; p < pivots; ++p) {
    ExactDistances from_pivot(store, partition.pivots_[p]);
    for_each_key(from_pivot, members, [&](std::size_t i, double key) {
      if (key < nearest_key[i]) {
        nearest_key[i] = key;
        bucket[i] = p;
      }
    });
  }
  partition.bucket_begins_.assign(pivots + 1, 0);
  for (const std::uint32_t b : bucket) ++partition.bucket_begins_[b + 1];
  std::partial_sum(partition.bucket_begins_.begin(), partition.bucket_begins_.end(),
                   partition.bucket_begins_.begin());
  partition.members_.resize(members.size());
  std::vector<std::uint32_t> next(partition.bucket_begins_.begin(),
                                  partition.bucket_begins_.end() - 1);
  for (std::size_t i = 0; i < members.size(); ++i)
    partition.members_[next[bucket[i]]++] = members[i];
  return partition;
}

std::vector<std::span<const std::uint32_t>> MatchPartition::nearest_buckets(
    ExactDistances& distances, std::size_t budget) const {
  std::vector<Candidate> order;
  order.reserve(pivots_.size());
  for_each_key(distances, pivots_, [&](std::size_t p, double key) {
    order.push_back({key, static_cast<std::uint32_t>(p)});
  });
  std::sort(order.begin(), order.end(), Nearer{});
  std::vector<std::span<const std::uint32_t>> buckets;
  std::size_t held = 0;
  for (const Candidate& pivot : order) {
    if (held >= budget) break;
    buckets.push_back(std::span(members_).subspan(
        bucket_begins_[pivot.slot], bucket_begins_[pivot.slot + 1] - bucket_begins_[pivot.slot]));
    held += buckets.back().size();
  }
  return buckets;
}

}  // namespace halqen::graph
