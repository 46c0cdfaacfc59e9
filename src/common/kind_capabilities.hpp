// What an index kind supports. Code that serves every kind (the file format,
// the Python boundary) asks its kind's capabilities instead of branching on
// which kind it holds.
#pragma once

namespace halqen {

struct KindCapabilities {
  // Searches return ids the caller chose; without, ids are insertion positions.
  bool user_labels = false;
  // Vectors can be removed, their slots listed free for reuse.
  bool deletion = false;
  // A compact code per vector guides the search before the exact distances.
  bool compact_codes = false;
  // Vectors carry metadata records, and searches take filters.
  bool metadata = false;
  // Rows may be kept as float32, which a saved index records where its
  // vectors alone would not tell.
  bool row_widths = false;
  // A graph: the file header's layers, m, ef_construction and ef_search are
  // its parameters (they are 0 for every other kind).
  bool graph_parameters = false;
};

}  // namespace halqen
