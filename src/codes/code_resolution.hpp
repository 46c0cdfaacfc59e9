// Whether 8-bit codes can tell a data set's neighbours apart. A range
// codes each dimension with 256 values between its quantiles; where one
// dimension rules every distance, or the bulk of a heavy tail falls inside
// one step, the codes rank neighbours no better than chance within a step,
// and no walk width makes up for it. Judged on the rows themselves: for a
// few sampled rows, how many of their nearest neighbours within a sample
// the codes also rank nearest.
#pragma once

#include <cstddef>

#include "codes/sq8_range.hpp"
#include "metrics/metrics.hpp"

namespace halqen::codes {

// Rows needed before codes are judged: fewer leave every neighbour far.
inline constexpr std::size_t kLeastRowsJudged = 1024;
// The share of the true nearest neighbours the codes must rank nearest as
// well. Measured: clean clustered data 0.99 under every metric, Student-t
// (2 degrees of freedom) 0.94; one dimension 1,000 times the others 0.58,
// Student-t (1) 0.75, rows at three scales 1,000 apart 0.38, where the walk
// on such codes finds 5 to 40% fewer true neighbours than on float32.
inline constexpr double kLeastCodeRecall = 0.9;
// Inner products need more: their nearest are the rows farthest out, whose
// extremes stretch the range over the rest, and a walk between them has
// fewer ways through. Measured: at 0.93 (one row far out among clustered
// rows, Student-t (1)) the walk found 4% fewer true neighbours than on
// float32; clean clustered rows judge 0.99.
inline constexpr double kLeastInnerProductCodeRecall = 0.95;

// The share a metric's codes must reach.
constexpr double least_code_recall(MetricKind metric) {
  return metric == MetricKind::InnerProduct ? kLeastInnerProductCodeRecall : kLeastCodeRecall;
}

// The share, over sampled rows, of each one's kNeighbours nearest rows in a
// sample (by `metric` on the rows as coded) that the range's codes also
// rank among the kNeighbours nearest. 1 for fewer than kLeastRowsJudged rows.
double sampled_code_recall(const Sq8Range& range, MetricKind metric, std::size_t count,
                           const CodedRowAt& row_at);

}  // namespace halqen::codes
