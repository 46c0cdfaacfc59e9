#include "hnsw/result_list.hpp"

#include <algorithm>
#include <iterator>

#include "hnsw/distance_order.hpp"

namespace halqen {
namespace {

// Heap comparator: "a is served after b", which puts the least rank in front.
bool served_after(const Candidate& a, const Candidate& b) {
  if (distance_before(b.distance, a.distance)) {
    return true;
  }
  if (distance_before(a.distance, b.distance)) {
    return false;
  }
  return b.id < a.id;
}

}  // namespace

std::size_t result_position(std::span<const SearchHit> results, double distance) {
  const auto first_not_before = std::partition_point(
      results.begin(), results.end(),
      [distance](const SearchHit& hit) { return distance_before(hit.distance, distance); });
  const auto first_after = std::partition_point(
      first_not_before, results.end(),
      [distance](const SearchHit& hit) { return !distance_before(distance, hit.distance); });
  const auto position = first_after != first_not_before ? std::prev(first_after) : first_after;
  return static_cast<std::size_t>(position - results.begin());
}

void insert_result(std::vector<SearchHit>& results, SearchHit hit) {
  const std::size_t position = result_position(results, hit.distance);
  results.insert(results.begin() + static_cast<std::ptrdiff_t>(position), hit);
}

void push_candidate(std::vector<Candidate>& heap, Candidate candidate) {
  heap.push_back(candidate);
  std::push_heap(heap.begin(), heap.end(), served_after);
}

Candidate pop_candidate(std::vector<Candidate>& heap) {
  std::pop_heap(heap.begin(), heap.end(), served_after);
  const Candidate least = heap.back();
  heap.pop_back();
  return least;
}

void offer(std::vector<SearchHit>& results, std::vector<Candidate>& candidates, std::uint64_t ef,
           Candidate candidate) {
  if (results.size() >= ef && !(candidate.distance < results.back().distance)) {
    return;
  }
  push_candidate(candidates, candidate);
  insert_result(results, SearchHit{candidate.distance, candidate.id});
  if (results.size() > ef) {
    results.pop_back();
  }
}

}  // namespace halqen
