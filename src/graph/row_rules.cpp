#include "graph/row_rules.hpp"

#include <array>
#include <cmath>

namespace halqen::graph {
namespace {

// Lanes of the sum of squares: a squared norm is 0 only where every square
// is, in whatever order they are added, so the test need not follow the
// metric's order and may run in lanes (a loaded file checks every row).
constexpr std::size_t kLanes = 4;

}  // namespace

std::optional<GraphError> check_row(std::span<const double> values, bool cosine,
                                    std::uint64_t row) {
  bool finite = true;
  std::array<double, kLanes> squares{};
  for (std::size_t c = 0; c < values.size(); ++c) {
    finite &= std::isfinite(values[c]);
    squares[c % kLanes] += values[c] * values[c];
  }
  if (!finite) {
    std::size_t c = 0;
    while (std::isfinite(values[c])) ++c;
    return GraphError{
        .kind = GraphErrorKind::NotFinite, .row = row, .detail = c, .component = values[c]};
  }
  const double sum = (squares[0] + squares[1]) + (squares[2] + squares[3]);
  if (cosine && sum == 0.0) return GraphError{.kind = GraphErrorKind::ZeroVector, .row = row};
  return std::nullopt;
}

std::string describe_query(const GraphError& error) {
  const std::string where = " (query " + std::to_string(error.row) + " of the call)";
  if (error.kind == GraphErrorKind::NotFinite) {
    return "query components must be finite, component " + std::to_string(error.detail) + " is " +
           std::to_string(error.component) + where;
  }
  return "a zero query (or one whose squared norm underflows to 0 in float64) has no angle: "
         "refused under the angular metric; scale it up" +
         where;
}

}  // namespace halqen::graph
