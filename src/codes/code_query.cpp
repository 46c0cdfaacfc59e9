#include "codes/code_query.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halqen::codes {
namespace {

constexpr double kLargestSignedCode = 127.0;
// Covers the rounding of a lower bound's own arithmetic and that of the
// exact kernels' sums, relative, for any dimension below 2^32.
constexpr double kBoundRounding = 0x1p-20;

// A NaN sum (an overflowing float32 code) sorts last.
double finite_order(double key) {
  return key != key ? std::numeric_limits<double>::infinity() : key;
}

}  // namespace

CodeQuery::CodeQuery(const CodeStore& store, std::span<const double> vector)
    : store_(store),
      kernels_(active_code_kernels()),
      by_dot_(store.metric() == MetricKind::InnerProduct) {
  encode(vector);
}

CodeQuery::CodeQuery(const CodeStore& store, std::uint32_t slot, std::span<const double> vector)
    : store_(store),
      kernels_(active_code_kernels()),
      by_dot_(store.metric() == MetricKind::InnerProduct) {
  if (store.kind() == CodeKind::Float32) {
    float_query_ = store.floats(slot);
    return;
  }
  if (by_dot_) {
    encode(vector);
    return;
  }
  const std::uint8_t* codes = store.bytes(slot);
  words_.assign(codes, codes + store.padded());
  bounds_values_ = store.metric() == MetricKind::Euclidean;
  coding_error_ = store.coding_error(slot);
  note_exactness();
}

void CodeQuery::encode(std::span<const double> vector) {
  // Only the cosine's codes are of another vector than the query.
  std::vector<double> normalized;
  std::span<const double> coded = vector;
  if (store_.normalizes()) {
    store_.coded_vector(vector, normalized);
    coded = normalized;
  }
  if (store_.kind() == CodeKind::Float32) {
    floats_.assign(store_.padded(), 0.0F);
    // Scaled as the stored codes are: the keys are the float32 distances
    // times a power of two, in the same order.
    for (std::size_t d = 0; d < coded.size(); ++d) floats_[d] = store_.float_code(coded[d]);
    float_query_ = floats_.data();
    return;
  }
  if (by_dot_) {
    encode_signed(coded);
    return;
  }
  words_.assign(store_.padded(), 0);
  store_.range().query_codes(coded, words_.data());
  bounds_values_ = store_.metric() == MetricKind::Euclidean;
  if (bounds_values_) coding_error_ = store_.range().coding_error(coded, words_.data());
  note_exactness();
}

void CodeQuery::note_exactness() {
  const Sq8Range& range = store_.range();
  exact_query_ = bounds_values_ && coding_error_ == 0.0 && range.squares_exactly();
  unit_ = range.step() * range.step();
}

double CodeQuery::lower_bound(double key, std::uint32_t slot) const {
  const double between_codes = store_.range().step() * std::sqrt(key);
  const double errors = coding_error_ + store_.coding_error(slot);
  const double bound = between_codes * (1.0 - kBoundRounding) - errors * (1.0 + kBoundRounding);
  return bound * (1.0 - kBoundRounding);
}

void CodeQuery::encode_signed(std::span<const double> coded) {
  signed_bytes_.assign(store_.padded(), 0);
  double largest = 0.0;
  for (const double x : coded) largest = std::max(largest, std::fabs(x));
  const double unit = largest / kLargestSignedCode;
  const Sq8Range& range = store_.range();
  for (std::size_t d = 0; d < coded.size(); ++d) {
    if (unit > 0.0) signed_bytes_[d] = static_cast<std::int8_t>(std::lround(coded[d] / unit));
    bias_ += coded[d] * range.offset(d);
  }
  scale_ = range.step() * unit;
}

void CodeQuery::keys(const std::uint32_t* slots, std::size_t count, double* keys) const {
  const std::size_t padded = store_.padded();
  if (store_.kind() == CodeKind::Float32) {
    for (std::size_t i = 0; i < count; ++i) {
      const float* row = store_.floats(slots[i]);
      keys[i] = by_dot_ ? -static_cast<double>(kernels_.float_dot(float_query_, row, padded))
                        : static_cast<double>(kernels_.float_l2(float_query_, row, padded));
      keys[i] = finite_order(keys[i]);
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count) store_.prefetch(slots[i + 1]);
    const std::uint8_t* row = store_.bytes(slots[i]);
    if (by_dot_) {
      const auto sum = static_cast<double>(kernels_.byte_dot(signed_bytes_.data(), row, padded));
      keys[i] = finite_order(-(bias_ + scale_ * sum));
    } else {
      keys[i] = static_cast<double>(kernels_.byte_l2(words_.data(), row, padded));
    }
  }
}

}  // namespace halqen::codes
