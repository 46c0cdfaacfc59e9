// What a graph index reports instead of doing what was asked.
#pragma once

#include <cstdint>
#include <string>

namespace halqen::graph {

enum class GraphErrorKind {
  BadParameter,    // a creation setting out of range (detail: the setting's value)
  WrongLength,     // a vector of another length (row, detail: its length)
  NotFinite,       // a NaN or infinite component (row, detail: the component)
  ZeroVector,      // a squared norm of 0 under the cosine metric (row)
  BeyondFloat32,   // a finite component float32 rows cannot hold (row, detail: the component)
  DuplicateId,     // an id already stored (row, detail: the id)
  RepeatedId,      // an id given twice in one call (row, detail: the id)
  UnknownId,       // an id removed that is not stored (row, detail: the id)
  IdTooLarge,      // an id past the largest int64 (row, detail: the id)
  CountMismatch,   // ids or metadata of another count (detail: their count)
  TooManyVectors,  // past what 32-bit slots address (detail: the count asked for)
  Interrupted,     // the caller's interrupt asked to stop
};

struct GraphError {
  GraphErrorKind kind;
  std::uint64_t row = 0;
  std::uint64_t detail = 0;
  double component = 0.0;
};

// A sentence naming what was wrong, with its numbers.
std::string describe(const GraphError& error, std::uint64_t dim);

}  // namespace halqen::graph
