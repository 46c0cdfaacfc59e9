// The sorted result list and the candidate queue of one layer search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/search_hit.hpp"
#include "metrics/rank_key.hpp"

namespace halqen {

// A newly visited node and its distance, as offered to a search.
struct Candidate {
  double distance;
  std::uint32_t id;
};

// A queued candidate: its distance as a rank key (metrics/rank_key.hpp), so
// that the queue orders by plain integer comparison.
struct QueuedCandidate {
  RankKey key;
  std::uint32_t id;
};

// A binary heap whose front is the least entry in rank order: distance
// order, then the smaller id.
using CandidateQueue = std::vector<QueuedCandidate>;

// Where a new entry at `distance` goes in a list sorted by distance order:
// just before the last entry of equal distance if there is one (so entries
// arriving A, B, C at one distance end as B, C, A), else after every entry
// that ranks before it. Ids play no part.
std::size_t result_position(std::span<const SearchHit> results, double distance);

// Inserts at result_position (moving later entries).
void insert_result(std::vector<SearchHit>& results, SearchHit hit);

void push_candidate(CandidateQueue& heap, Candidate candidate);

// Removes and returns the least entry. Precondition: the heap is not empty.
QueuedCandidate pop_candidate(CandidateQueue& heap);

// Queues the candidate, inserts it at result_position and cuts the list back
// to ef entries.
void admit(std::vector<SearchHit>& results, CandidateQueue& candidates, std::uint64_t ef,
           Candidate candidate);

// The add rule for a newly visited node: it enters when the list holds fewer
// than ef entries or it is strictly nearer than the last entry (plain `<`,
// false when either is NaN), and is then admitted. The list only grows as
// entries arrive. Inline: most nodes a search meets are turned away here.
inline void offer(std::vector<SearchHit>& results, CandidateQueue& candidates, std::uint64_t ef,
                  Candidate candidate) {
  if (results.size() >= ef && !(candidate.distance < results.back().distance)) {
    return;
  }
  admit(results, candidates, ef, candidate);
}

}  // namespace halqen
