#include "graph/graph_error.hpp"

#include <array>
#include <charconv>
#include <string>

namespace halqen::graph {
namespace {

// Enough for any double's shortest round-trip text.
constexpr std::size_t kShortestDoubleChars = 32;

std::string at_row(std::uint64_t row) {
  return " (vector " + std::to_string(row) + " of the call)";
}

// The shortest text that reads back as x (to_string would print 1e+39 in
// full, and 1e-300 as 0.000000).
std::string shortest(double x) {
  std::array<char, kShortestDoubleChars> text{};
  const auto end = std::to_chars(text.data(), text.data() + text.size(), x).ptr;
  return std::string(text.data(), end);
}

}  // namespace

std::string describe(const GraphError& error, std::uint64_t dim) {
  switch (error.kind) {
    case GraphErrorKind::BadParameter:
      return "parameter out of range: " + std::to_string(error.detail);
    case GraphErrorKind::WrongLength:
      return "Expected vector of length " + std::to_string(dim) + ", got " +
             std::to_string(error.detail) + at_row(error.row);
    case GraphErrorKind::NotFinite:
      return "vector components must be finite, component " + std::to_string(error.detail) +
             " is " + std::to_string(error.component) + at_row(error.row);
    case GraphErrorKind::ZeroVector:
      return "a zero vector (or one whose squared norm underflows to 0 in float64) has no "
             "angle: refused under the angular metric; scale it up" +
             at_row(error.row);
    case GraphErrorKind::BeyondFloat32:
      return "component " + std::to_string(error.detail) + " is " + shortest(error.component) +
             ", beyond float32's range, and this index keeps float32 rows (storage='float32'); "
             "create it with storage='float64' to keep such numbers" +
             at_row(error.row);
    case GraphErrorKind::DuplicateId:
      return "id " + std::to_string(error.detail) + " is already present" + at_row(error.row);
    case GraphErrorKind::RepeatedId:
      return "id " + std::to_string(error.detail) + " is given twice" + at_row(error.row);
    case GraphErrorKind::UnknownId:
      return "id " + std::to_string(error.detail) + " is not in the index" + at_row(error.row);
    case GraphErrorKind::IdTooLarge:
      return "id " + std::to_string(error.detail) + " is larger than 9223372036854775807" +
             at_row(error.row);
    case GraphErrorKind::CountMismatch:
      return "expected one entry per vector, got " + std::to_string(error.detail);
    case GraphErrorKind::TooManyVectors:
      return "an index holds at most 4294967294 vectors, asked for " + std::to_string(error.detail);
    case GraphErrorKind::Interrupted:
      return "interrupted";
  }
  return "unknown graph error";
}

}  // namespace halqen::graph
