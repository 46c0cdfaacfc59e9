#include "hnsw/result_list.hpp"

#include <algorithm>

namespace halqen {
namespace {

// Heap comparator: "a is served after b", which puts the least rank in front.
// Written without short-circuits: the outcome is unpredictable.
bool served_after(const QueuedCandidate& a, const QueuedCandidate& b) {
  return (a.key > b.key) | ((a.key == b.key) & (a.id > b.id));
}

// The number of leading entries whose key is not after `key` (an upper
// bound), by a halving search whose steps add rather than branch: where the
// new entry lands is unpredictable.
std::size_t count_not_after(std::span<const SearchHit> results, RankKey key) {
  if (results.empty()) {
    return 0;
  }
  const SearchHit* base = results.data();
  std::size_t length = results.size();
  while (length > 1) {
    const std::size_t half = length / 2;
    base += static_cast<std::size_t>(rank_key(base[half].distance) <= key) * half;
    length -= half;
  }
  return static_cast<std::size_t>(base - results.data()) +
         static_cast<std::size_t>(rank_key(base->distance) <= key);
}

}  // namespace

std::size_t result_position(std::span<const SearchHit> results, double distance) {
  const RankKey key = rank_key(distance);
  const std::size_t end_of_equal = count_not_after(results, key);
  // An equal entry, if any, is the last one the count took in.
  const bool has_equal = end_of_equal > 0 && rank_key(results[end_of_equal - 1].distance) == key;
  return has_equal ? end_of_equal - 1 : end_of_equal;
}

void insert_result(std::vector<SearchHit>& results, SearchHit hit) {
  const std::size_t position = result_position(results, hit.distance);
  results.insert(results.begin() + static_cast<std::ptrdiff_t>(position), hit);
}

void push_candidate(CandidateQueue& heap, Candidate candidate) {
  heap.push_back(QueuedCandidate{rank_key(candidate.distance), candidate.id});
  std::push_heap(heap.begin(), heap.end(), served_after);
}

QueuedCandidate pop_candidate(CandidateQueue& heap) {
  std::pop_heap(heap.begin(), heap.end(), served_after);
  const QueuedCandidate least = heap.back();
  heap.pop_back();
  return least;
}

void admit(std::vector<SearchHit>& results, CandidateQueue& candidates, std::uint64_t ef,
           Candidate candidate) {
  push_candidate(candidates, candidate);
  insert_result(results, SearchHit{candidate.distance, candidate.id});
  if (results.size() > ef) {
    results.pop_back();
  }
}

}  // namespace halqen
