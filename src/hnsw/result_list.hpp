// The sorted result list and the candidate queue of one layer search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/search_hit.hpp"

namespace halqen {

struct Candidate {
  double distance;
  std::uint32_t id;
};

// Where a new entry at `distance` goes in a list sorted by distance order:
// just before the last entry of equal distance if there is one (so entries
// arriving A, B, C at one distance end as B, C, A), else after every entry
// that ranks before it. Ids play no part.
std::size_t result_position(std::span<const SearchHit> results, double distance);

// Inserts at result_position (moving later entries).
void insert_result(std::vector<SearchHit>& results, SearchHit hit);

// The candidate queue is a binary heap whose front is the least entry in rank
// order: distance order, then the smaller id.
void push_candidate(std::vector<Candidate>& heap, Candidate candidate);

// Removes and returns the least entry. Precondition: the heap is not empty.
Candidate pop_candidate(std::vector<Candidate>& heap);

// The add rule for a newly visited node: it enters when the list holds fewer
// than ef entries or it is strictly nearer than the last entry (plain `<`,
// false when either is NaN). It is then queued, inserted at result_position
// and the list cut back to ef entries. The list only grows as entries arrive.
void offer(std::vector<SearchHit>& results, std::vector<Candidate>& candidates, std::uint64_t ef,
           Candidate candidate);

}  // namespace halqen
