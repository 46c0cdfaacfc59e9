// A filter made ready for the searches of one call, while the call holds
// its pass: what it admits, counted, and a few matches spread over all of
// them, where a walk over the matches starts beside the descent's end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "graph/attribute_postings.hpp"
#include "graph/match_set.hpp"

namespace halqen::graph {

struct PreparedFilter {
  // One attribute's values: their postings (partitions are theirs alone).
  std::optional<ValueSelection> selection;
  // Any other expression: the live slots it admits.
  std::optional<MatchSet> matches;
  std::size_t count = 0;
  // Only where the matches are too many to score them all: a few of them,
  // and for an and, the operand of one attribute's values with the fewest
  // matches (where they lie sparse around a query, its partitions are
  // scanned).
  std::vector<std::uint32_t> sample;
  std::optional<ValueSelection> guide;
};

}  // namespace halqen::graph
