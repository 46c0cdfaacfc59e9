#include "graph/row_rules.hpp"

#include <cmath>

#include "metrics/metrics.hpp"

namespace halqen::graph {

std::optional<GraphError> check_row(std::span<const double> values, bool cosine,
                                    std::uint64_t row) {
  for (std::size_t c = 0; c < values.size(); ++c) {
    if (!std::isfinite(values[c])) {
      return GraphError{
          .kind = GraphErrorKind::NotFinite, .row = row, .detail = c, .component = values[c]};
    }
  }
  if (cosine && squared_norm(values) == 0.0) {
    return GraphError{.kind = GraphErrorKind::ZeroVector, .row = row};
  }
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
