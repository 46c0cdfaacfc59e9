#include "codes/code_resolution.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

namespace halqen::codes {
namespace {

constexpr std::size_t kNeighbours = 10;
constexpr std::size_t kJudgedRows = 32;
// Rows each judged row is ranked among, and the most values they may hold.
constexpr std::size_t kSampleRows = std::size_t{1} << 14;
constexpr std::size_t kSampleValues = std::size_t{1} << 22;

// The rows of a sample, evenly spaced: their coded values and their codes.
struct Sample {
  std::size_t dim = 0;
  std::vector<double> values;
  std::vector<std::uint8_t> codes;
};

Sample sample_of(const Sq8Range& range, std::size_t count, const CodedRowAt& row_at) {
  Sample sample;
  sample.dim = range.dim();
  const std::size_t most = std::max<std::size_t>(kLeastRowsJudged, kSampleValues / sample.dim);
  const std::size_t rows = std::min({count, kSampleRows, most});
  sample.values.resize(rows * sample.dim);
  sample.codes.resize(rows * sample.dim);
  std::vector<double> scratch;
  for (std::size_t i = 0; i < rows; ++i) {
    const std::span<const double> row = row_at(i * count / rows, scratch);
    for (std::size_t d = 0; d < sample.dim; ++d) {
      sample.values[i * sample.dim + d] = row[d];
      sample.codes[i * sample.dim + d] = range.code(d, row[d]);
    }
  }
  return sample;
}

// Smaller is nearer: the squared distance, or the negated inner product,
// between the judged row and a sample row, from the rows.
double exact_key(MetricKind metric, std::span<const double> query, const double* row) {
  double sum = 0.0;
  for (std::size_t d = 0; d < query.size(); ++d) {
    if (metric == MetricKind::InnerProduct) {
      sum -= query[d] * row[d];
    } else {
      const double diff = query[d] - row[d];
      sum += diff * diff;
    }
  }
  return sum;
}

// What a code key needs of the judged row: per dimension its position in
// steps (euclidean), or itself (inner product).
std::vector<double> query_terms(const Sq8Range& range, MetricKind metric,
                                std::span<const double> query) {
  std::vector<double> terms(query.begin(), query.end());
  if (metric == MetricKind::InnerProduct) return terms;
  for (std::size_t d = 0; d < query.size(); ++d) terms[d] = range.query_position(d, query[d]);
  return terms;
}

// The same from a row's codes, as a walk's key orders them.
double code_key(const Sq8Range& range, MetricKind metric, std::span<const double> terms,
                const std::uint8_t* codes) {
  double sum = 0.0;
  for (std::size_t d = 0; d < terms.size(); ++d) {
    if (metric == MetricKind::InnerProduct) {
      sum -= terms[d] * (range.offset(d) + range.step(d) * codes[d]);
    } else {
      const double diff = range.step(d) * (terms[d] - codes[d]);
      sum += diff * diff;
    }
  }
  return sum;
}

// The indices of the kNeighbours smallest keys, `self` left out.
std::vector<std::size_t> nearest(std::vector<double>& keys, std::size_t self) {
  keys[self] = std::numeric_limits<double>::infinity();
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  const std::size_t kept = std::min(kNeighbours, order.size() - 1);
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(),
                    [&keys](std::size_t a, std::size_t b) {
                      return keys[a] < keys[b] || (keys[a] == keys[b] && a < b);
                    });
  order.resize(kept);
  std::sort(order.begin(), order.end());
  return order;
}

}  // namespace

double sampled_code_recall(const Sq8Range& range, MetricKind metric, std::size_t count,
                           const CodedRowAt& row_at) {
  if (count < kLeastRowsJudged || range.empty()) return 1.0;
  const Sample sample = sample_of(range, count, row_at);
  const std::size_t rows = sample.values.size() / sample.dim;
  std::vector<double> exact(rows);
  std::vector<double> coded(rows);
  std::size_t found = 0;
  std::size_t wanted = 0;
  for (std::size_t j = 0; j < kJudgedRows; ++j) {
    const std::size_t self = (2 * j + 1) * rows / (2 * kJudgedRows);
    const std::span<const double> query(sample.values.data() + self * sample.dim, sample.dim);
    const std::vector<double> terms = query_terms(range, metric, query);
    for (std::size_t i = 0; i < rows; ++i) {
      exact[i] = exact_key(metric, query, sample.values.data() + i * sample.dim);
      coded[i] = code_key(range, metric, terms, sample.codes.data() + i * sample.dim);
    }
    const std::vector<std::size_t> truth = nearest(exact, self);
    const std::vector<std::size_t> by_code = nearest(coded, self);
    std::vector<std::size_t> both;
    std::set_intersection(truth.begin(), truth.end(), by_code.begin(), by_code.end(),
                          std::back_inserter(both));
    found += both.size();
    wanted += truth.size();
  }
  return wanted == 0 ? 1.0 : static_cast<double>(found) / static_cast<double>(wanted);
}

}  // namespace halqen::codes
