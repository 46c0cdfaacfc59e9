// Where a mapped index's arrays lie in its file.
#pragma once

#include <memory>

#include "codes/code_store.hpp"

namespace halqen::graph {

// The arrays of an index file used where they lie (a mapped file), by slot,
// kept alive by `owner`: the rows in their width, and where the file holds
// them layer 0's link lists (LinkStore::layer_zero_words), the 8-bit codes
// with their errors and lengths, and the squared norms.
// Nothing of them has been read or checked.
struct MappedArrays {
  std::shared_ptr<const void> owner;
  const void* rows = nullptr;
  const std::uint32_t* base_links = nullptr;
  const codes::CodeLine* code_lines = nullptr;
  const float* coding_errors = nullptr;
  const float* code_lengths = nullptr;
  const double* norms = nullptr;
};

}  // namespace halqen::graph
