// One query prepared for a code store: its own code, and what turns a
// kernel's sum into a walk key (smaller is nearer). Keys approximate the
// metric's order; they are deterministic, the same on every kernel level,
// and in one unit for every query of a store, so keys of different queries
// compare.
//
// 8-bit codes are read one of two ways. Where every dimension has the same
// step (a uniform range) and the metric is euclidean or the cosine, the key
// is the squared distance between the query's codes and the stored ones,
// an integer in steps^2. Otherwise the steps are folded into the query: a
// stored vector y (offset + step * code per dimension) and the query x give
//   |x - y|^2 / S^2 = sum (s_d p_d)^2 - 2 sum s_d^2 p_d c_d + sum (s_d c_d)^2
// with S the largest step, s_d = step_d / S, p_d the query's position in
// steps and c_d the code. The first sum is the query's, the last the
// stored code's length (CodeStore::code_length), and the middle one a dot
// product of the codes with 16-bit weights s_d^2 p_d, rounded at a scale of
// the query's own. The inner product is offset . x + S sum s_d x_d c_d: the
// same dot product, with weights s_d x_d.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/code_kernels.hpp"
#include "codes/code_store.hpp"

namespace halqen::codes {

class CodeQuery {
 public:
  // Any vector of store.dim() numbers.
  CodeQuery(const CodeStore& store, std::span<const double> vector);
  // The stored vector of `slot` (`vector` is its float64 row): its own code
  // serves as the query where it can, sparing the encoding.
  CodeQuery(const CodeStore& store, std::uint32_t slot, std::span<const double> vector);

  // keys[i] = walk key of slots[i], i < count.
  void keys(const std::uint32_t* slots, std::size_t count, double* keys) const;
  double key(std::uint32_t slot) const {
    double result = 0.0;
    keys(&slot, 1, &result);
    return result;
  }
  // Whether a key bounds the metric's order key (the distance, or the
  // negated cosine or inner product) from below: on 8-bit codes, whose key
  // is the squared distance between the two decoded vectors in (largest)
  // steps, or their inner product, up to the rounding of the query's
  // weights, which the bound takes in.
  bool bounds_values() const { return bounds_values_; }
  // Only where bounds_values(): at most the metric's order key (as the
  // exact kernels compute it) for `slot`, whose key is `key`. The triangle
  // inequality (or Cauchy-Schwarz) with the coding errors, widened for
  // every rounding.
  double lower_bound(double key, std::uint32_t slot) const;
  // Whether the metric's value for `slot` follows from its key alone: the
  // query and the slot's vector are their codes' values exactly and the
  // range's squares are exact (Sq8Range::squares_exactly). Then it is
  // value_of_key(key), bit for bit what the exact kernels give.
  bool knows_value(std::uint32_t slot) const {
    return exact_query_ && store_.coding_error(slot) == 0.0;
  }
  double value_of_key(double key) const { return std::sqrt(unit_ * key); }
  // Whether the keys rank stored vectors by their distance to the query
  // itself: not where a component lies beyond what the codes reach (it is
  // clamped) or a float32 difference would overflow. A walk on such keys
  // heads for the wrong place; the exact rows serve the query instead.
  bool places_query() const { return places_query_; }

 private:
  void encode(std::span<const double> vector);
  // The 16-bit weights of a query whose steps are folded in (see above),
  // the scale of their rounding and the key's constant part.
  void encode_weighted(std::span<const double> coded);
  // A float32 code store's query: scaled as the codes are, or, for the
  // inner product, to its own magnitude.
  void encode_floats(std::span<const double> coded);
  void round_weights(std::span<const double> weights);
  // `positions`: each component's, as query_position gives them.
  double clamping_error(std::span<const double> coded, std::span<const double> positions) const;
  double dot_lower_bound(double key, std::uint32_t slot) const;
  // Whether values follow from keys (knows_value), once the query's coding
  // error is known.
  void note_exactness();

  const CodeStore& store_;
  const CodeKernels& kernels_;
  bool by_dot_;
  std::vector<float> floats_;
  const float* float_query_ = nullptr;
  // The query's codes (uniform squares) or its weights (folded steps).
  std::vector<std::int16_t> words_;
  bool weighted_ = false;
  bool ranks_only_ = false;  // a stored vector's query: keys, no bounds
  double constant_ = 0.0;
  double scale_ = 0.0;
  // At most the error the rounded weights put into a key, halved: 255 times
  // the sum of the weights' rounding errors.
  double weight_error_ = 0.0;
  double query_norm_ = 0.0;  // the inner product's, rounded up
  bool bounds_values_ = false;
  double coding_error_ = 0.0;  // the query's own, where bounds_values_
  bool exact_query_ = false;
  bool places_query_ = true;
  double unit_ = 0.0;  // step^2, where exact_query_
};

}  // namespace halqen::codes
