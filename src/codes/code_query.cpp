#include "codes/code_query.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace halqen::codes {
namespace {

// The largest weight of a query's rounding: with a code of 255, two
// products stay within a 32-bit lane sum (simd_fold.hpp).
constexpr double kLargestWeight = 32767.0;
// Covers the rounding of a lower bound's own arithmetic and that of the
// exact kernels' sums, relative, for any dimension below 2^32.
constexpr double kBoundRounding = 0x1p-20;
// Covers a stored code length's rounding to float32, relative, and the
// double arithmetic of a folded key, relative to its two squared parts.
constexpr double kLengthRounding = 0x1p-22;
constexpr double kKeyRounding = 0x1p-40;
// Covers the exact kernels' rounding of a cosine (absolute) and of an
// inner product (relative to the product of the norms), for any dimension
// below 2^20.
constexpr double kUnitRounding = 0x1p-30;
constexpr double kProductRounding = 0x1p-30;

// A NaN sum (an overflowing float32 code) sorts last.
double finite_order(double key) {
  return key != key ? std::numeric_limits<double>::infinity() : key;
}

// The euclidean norm, rounded up, of a vector whose squares may overflow or
// flush to zero: summed at the scale of its largest component.
double norm_rounded_up(std::span<const double> x) {
  const double largest = largest_magnitude(x);
  if (!(largest > 0.0)) return largest;
  const int exponent = std::ilogb(largest);
  double squares = 0.0;
  for (const double v : x) {
    const double scaled = std::ldexp(v, -exponent);
    squares += scaled * scaled;
  }
  const double norm = std::ldexp(std::sqrt(squares) * (1.0 + kBoundRounding), exponent);
  return std::nextafter(norm, std::numeric_limits<double>::infinity());
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
  if (by_dot_ || !store.range().uniform()) {
    // From its float64 vector: a build's distances keep the positions
    // between codes. No bound: a build ranks, it does not rerank.
    ranks_only_ = true;
    encode(vector);
    return;
  }
  const std::uint8_t* codes = store.bytes(slot);
  words_.assign(codes, codes + store.padded());
  bounds_values_ = true;
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
    encode_floats(coded);
    return;
  }
  places_query_ = by_dot_ || store_.range().reaches(coded);
  if (by_dot_ || !store_.range().uniform()) {
    encode_weighted(coded);
    return;
  }
  words_.assign(store_.padded(), 0);
  store_.range().query_codes(coded, words_.data());
  bounds_values_ = true;
  coding_error_ = store_.range().coding_error(coded, words_.data());
  note_exactness();
}

void CodeQuery::encode_floats(std::span<const double> coded) {
  floats_.assign(store_.padded(), 0.0F);
  float_query_ = floats_.data();
  if (by_dot_) {
    // The order of inner products does not change with the query's scale:
    // brought near 1 by a power of two, no component flushes to zero or
    // overflows, and the products stay within float32 beside the stored
    // codes, which are at most largest_scaled_code.
    const double largest = largest_magnitude(coded);
    const int exponent = largest > 0.0 ? -std::ilogb(largest) : 0;
    for (std::size_t d = 0; d < coded.size(); ++d) {
      floats_[d] = to_float(std::ldexp(coded[d], exponent));
    }
    return;
  }
  // Scaled as the stored codes are: the keys are the float32 distances
  // times a power of two, in the same order, as long as the query is no
  // larger than the codes may be.
  const double reach = largest_scaled_code(store_.dim());
  store_.float_codes(coded, floats_.data());
  for (std::size_t d = 0; d < coded.size(); ++d) places_query_ &= std::fabs(floats_[d]) <= reach;
}

void CodeQuery::note_exactness() {
  const Sq8Range& range = store_.range();
  exact_query_ =
      store_.metric() == MetricKind::Euclidean && coding_error_ == 0.0 && range.squares_exactly();
  unit_ = range.largest_step() * range.largest_step();
}

double CodeQuery::lower_bound(double key, std::uint32_t slot) const {
  if (by_dot_) return dot_lower_bound(key, slot);
  if (weighted_) {
    const double length = store_.code_length(slot);
    const double slack = 2.0 * weight_error_ + length * kLengthRounding +
                         (std::fabs(constant_) + length) * kKeyRounding;
    key = std::max(0.0, key - slack);
  }
  const double between_codes = store_.range().largest_step() * std::sqrt(key);
  const double errors = coding_error_ + store_.coding_error(slot);
  const double bound = between_codes * (1.0 - kBoundRounding) - errors * (1.0 + kBoundRounding);
  const double distance = bound * (1.0 - kBoundRounding);
  if (store_.metric() == MetricKind::Euclidean) return distance;
  // Unit vectors d apart have a cosine of 1 - d^2 / 2; the exact cosine of
  // the rows, normalized by rounding divisions, is off by far less than the
  // absolute slack.
  const double apart = std::max(0.0, distance);
  return apart * apart / 2.0 * (1.0 - kBoundRounding) - 1.0 - kUnitRounding;
}

// The inner product's order key is its negation: -<x, v> = -<x, y> -
// <x, v - y> >= -<x, y> - |x| |v - y|, with y the vector v's code stands
// for and -<x, y> at least S times (key - weight error).
double CodeQuery::dot_lower_bound(double key, std::uint32_t slot) const {
  const Sq8Range& range = store_.range();
  const double step = range.largest_step();
  const double error = store_.coding_error(slot);
  const double coded_norm = range.offsets_norm() + step * std::sqrt(store_.code_length(slot));
  const double bound = step * (key - weight_error_) - query_norm_ * error;
  const double slack =
      step * (std::fabs(constant_) + std::fabs(key) + weight_error_) * kKeyRounding +
      query_norm_ * (coded_norm + error) * kProductRounding;
  return bound - slack;
}

void CodeQuery::encode_weighted(std::span<const double> coded) {
  const Sq8Range& range = store_.range();
  weighted_ = true;
  std::vector<double> weights(coded.size());
  std::vector<double> positions(by_dot_ ? 0 : coded.size());
  constant_ = 0.0;
  for (std::size_t d = 0; d < coded.size(); ++d) {
    const double share = range.step_share(d);
    if (by_dot_) {
      weights[d] = share * coded[d];
      constant_ += coded[d] * (range.offset(d) / range.largest_step());
    } else {
      positions[d] = range.query_position(d, coded[d]);
      const double part = share * positions[d];
      weights[d] = share * part;
      constant_ += part * part;
    }
  }
  round_weights(weights);
  if (ranks_only_) return;
  bounds_values_ = true;
  double rounding = 0.0;
  for (std::size_t d = 0; d < weights.size(); ++d) {
    rounding += std::fabs(scale_ * words_[d] - weights[d]);
  }
  weight_error_ = rounding * Sq8Range::kLargestCode * (1.0 + kBoundRounding);
  if (by_dot_) {
    query_norm_ = norm_rounded_up(coded);
  } else {
    coding_error_ = clamping_error(coded, positions);
  }
}

// How far the query is from the point its positions stand for: only a
// component beyond the range moves, to its end.
double CodeQuery::clamping_error(std::span<const double> coded,
                                 std::span<const double> positions) const {
  constexpr double kDecodeRounding = 0x1p-51;
  const Sq8Range& range = store_.range();
  double sum = 0.0;
  for (std::size_t d = 0; d < coded.size(); ++d) {
    const double scaled = range.step(d) * positions[d];
    const double decoded = range.offset(d) + scaled;
    const double error = std::fabs(coded[d] - decoded) +
                         (std::fabs(range.offset(d)) + std::fabs(scaled)) * kDecodeRounding;
    sum += error * error;
  }
  return std::sqrt(sum) * (1.0 + kBoundRounding);
}

void CodeQuery::round_weights(std::span<const double> weights) {
  // Shifted to be positive, where truncation is the floor: halves up.
  constexpr double kShift = 32768.5;
  constexpr int kShiftBack = 32768;
  const double largest = largest_magnitude(weights);
  words_.assign(store_.padded(), 0);
  scale_ = largest / kLargestWeight;
  if (!(scale_ > 0.0) || !std::isfinite(scale_)) return;
  // Below about 1e-304 the reciprocal overflows, and 0 times it is NaN:
  // such weights are divided instead.
  const double inverse = 1.0 / scale_;
  const bool divides = !std::isfinite(inverse);
  for (std::size_t d = 0; d < weights.size(); ++d) {
    const double word = divides ? weights[d] / scale_ : weights[d] * inverse;
    const double shifted = std::clamp(word, -kLargestWeight, kLargestWeight) + kShift;
    words_[d] = static_cast<std::int16_t>(static_cast<int>(shifted) - kShiftBack);
  }
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
  if (!weighted_) {
    for (std::size_t i = 0; i < count; ++i) {
      if (i + 1 < count) store_.prefetch(slots[i + 1]);
      keys[i] =
          static_cast<double>(kernels_.byte_l2(words_.data(), store_.bytes(slots[i]), padded));
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count) {
      store_.prefetch(slots[i + 1]);
      store_.prefetch_length(slots[i + 1]);
    }
    const std::uint32_t slot = slots[i];
    const auto dot =
        scale_ * static_cast<double>(kernels_.byte_dot(words_.data(), store_.bytes(slot), padded));
    keys[i] = finite_order(by_dot_ ? -(constant_ + dot)
                                   : constant_ + store_.code_length(slot) - 2.0 * dot);
  }
}

}  // namespace halqen::codes
