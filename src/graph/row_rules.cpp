#include "graph/row_rules.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace halqen::graph {
namespace {

// Lanes of the sum of squares: a squared norm is 0 only where every square
// is, in whatever order they are added, so the test need not follow the
// metric's order and may run in lanes (a loaded file checks every row).
constexpr std::size_t kLanes = 4;

// The squares summed in lanes. A NaN or infinite component makes the sum
// NaN or +inf (squares are never negative, so nothing cancels them): where
// the sum is finite, so is every component.
double lane_sum_of_squares(std::span<const double> values) {
  std::array<double, kLanes> squares{};
  std::size_t c = 0;
  for (; c + kLanes <= values.size(); c += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      squares[lane] += values[c + lane] * values[c + lane];
    }
  }
  for (; c < values.size(); ++c) squares[0] += values[c] * values[c];
  return (squares[0] + squares[1]) + (squares[2] + squares[3]);
}

}  // namespace

std::optional<GraphError> check_row(std::span<const double> values, bool cosine,
                                    std::uint64_t row) {
  const double sum = lane_sum_of_squares(values);
  if (!std::isfinite(sum)) {
    // Finite components too large to square land here as well.
    const auto bad = std::ranges::find_if(values, [](double x) { return !std::isfinite(x); });
    if (bad != values.end()) {
      return GraphError{.kind = GraphErrorKind::NotFinite,
                        .row = row,
                        .detail = static_cast<std::uint64_t>(bad - values.begin()),
                        .component = *bad};
    }
  }
  if (cosine && sum == 0.0) return GraphError{.kind = GraphErrorKind::ZeroVector, .row = row};
  return std::nullopt;
}

std::optional<GraphError> check_float32_row(std::span<const double> values, std::uint64_t row) {
  for (std::size_t c = 0; c < values.size(); ++c) {
    const double x = values[c];
    if (std::isfinite(x) && std::isinf(static_cast<float>(x))) {
      return GraphError{
          .kind = GraphErrorKind::BeyondFloat32, .row = row, .detail = c, .component = x};
    }
  }
  return std::nullopt;
}

void round_to_float32(std::span<double> values) {
  for (double& x : values) x = static_cast<float>(x);
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
