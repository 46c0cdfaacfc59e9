// The compact code of every stored vector, by slot, for walks that read
// codes instead of the float64 rows: float32 numbers, or 8-bit scalar codes
// (sq8_range.hpp). Under the cosine the codes are of the normalized vector,
// so that their euclidean order is the cosine's. Each code fills whole
// cache lines, zero-padded. Beside each 8-bit code: its coding error, and
// its squared length in the range's largest step (the per-vector part of a
// distance across dimensions of unequal steps, code_query.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codes/sq8_range.hpp"
#include "metrics/metrics.hpp"

namespace halqen::codes {

enum class CodeKind { Float32, Sq8 };

// x as a float32, a magnitude beyond float32's range as its largest value.
float to_float(double x);

class CodeStore {
 public:
  static constexpr std::size_t kLineBytes = 64;

  CodeStore(std::size_t dim, MetricKind metric, CodeKind kind);

  // Appends the codes of `rows` (dim numbers each). `stored` holds every
  // vector already coded, slot-major: when the rows ask for a new 8-bit
  // range, it is derived from them all and those are coded again. Throws
  // std::bad_alloc with the store unchanged.
  void append(std::span<const double> stored, std::span<const double> rows);
  // Appends the codes of a whole store read back, where `free` flags the
  // slots whose rows are only zeros: those stay cleared and, like every
  // free slot of the store it was read from, take no part in the range.
  // The range restored before is kept as it was saved; without one, it is
  // derived from the live rows. `norms`: the rows' squared norms, where the
  // caller has them (a store that normalizes needs them, and computes them
  // when they are empty).
  void append_slots(std::span<const double> rows, std::span<const std::uint8_t> free,
                    std::span<const double> norms = {});
  // Codes `row` into an existing slot (a slot refilled after a removal);
  // `stored` as for append, the slot's old vector may be in it.
  void overwrite(std::uint32_t slot, std::span<const double> stored, std::span<const double> row);
  // Zeroes a removed slot's code.
  void clear(std::uint32_t slot);
  // Keeps the first `count` codes.
  void truncate(std::size_t count);
  // A store read back: the range it had (8-bit codes), then append.
  void restore_range(Sq8Range range) { range_ = std::move(range); }

  std::size_t size() const { return count_; }
  std::size_t dim() const { return dim_; }
  MetricKind metric() const { return metric_; }
  CodeKind kind() const { return kind_; }
  // Numbers (float32) or codes (8-bit) per padded row.
  std::size_t padded() const { return padded_; }
  const Sq8Range& range() const { return range_; }
  // How many times the 8-bit range changed (every code then changed too).
  std::uint64_t range_changes() const { return range_changes_; }
  // Whether the codes are of normalized vectors, compared by euclidean order.
  bool normalizes() const { return metric_ == MetricKind::Cosine; }

  const float* floats(std::uint32_t slot) const {
    return reinterpret_cast<const float*>(line_of(slot));
  }
  const std::uint8_t* bytes(std::uint32_t slot) const {
    return reinterpret_cast<const std::uint8_t*>(line_of(slot));
  }
  // Asks for the first lines of a code a later distance reads, so that the
  // codes of a hop start arriving together: more in flight at once would
  // fill the core's miss buffers and stall.
  void prefetch_start(std::uint32_t slot) const {
    prefetch_lines(slot, std::min(lines_per_row_, kStartLines));
  }
  // Asks for a whole code: the next one a distance loop reads.
  void prefetch(std::uint32_t slot) const { prefetch_lines(slot, lines_per_row_); }
  // 8-bit codes: at least the euclidean distance between the slot's coded
  // vector and the vector its code stands for (Sq8Range::coding_error);
  // NaN for a cleared slot.
  double coding_error(std::uint32_t slot) const { return errors_[slot]; }
  // 8-bit codes: sum over d of (step_share(d) * code[d])^2.
  double code_length(std::uint32_t slot) const { return lengths_[slot]; }
  void prefetch_length(std::uint32_t slot) const { __builtin_prefetch(lengths_.data() + slot); }
  std::uint64_t heap_bytes() const {
    return lines_.capacity() * kLineBytes + errors_.capacity() * sizeof(float) +
           lengths_.capacity() * sizeof(float);
  }

  // The vector the codes stand for: `row` itself, or normalized.
  // `squared`: the row's squared norm, when known.
  void coded_vector(std::span<const double> row, std::vector<double>& out,
                    const double* squared = nullptr) const;

 private:
  // Whether a slot holds a vector (was not cleared).
  bool live(std::uint32_t slot) const { return errors_[slot] == errors_[slot]; }

  struct alignas(kLineBytes) Line {
    unsigned char bytes[kLineBytes];
  };

  static constexpr std::size_t kStartLines = 2;

  void prefetch_lines(std::uint32_t slot, std::size_t lines) const {
    const auto* first = reinterpret_cast<const char*>(line_of(slot));
    for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(first + line * kLineBytes);
  }
  const Line* line_of(std::uint32_t slot) const {
    return lines_.data() + static_cast<std::size_t>(slot) * lines_per_row_;
  }
  Line* line_of(std::uint32_t slot) { return lines_.data() + slot * lines_per_row_; }
  // Codes `row`; `count`: the range counts what it clamps.
  void encode(std::uint32_t slot, std::span<const double> row, std::vector<double>& scratch,
              const double* squared = nullptr, bool count = false);
  // Codes a vector already as the codes stand for it (normalized or not).
  void write_code(std::uint32_t slot, std::span<const double> coded);
  // Room for codes up to `count` slots. Throws std::bad_alloc with the
  // store unchanged.
  void grow_to(std::size_t count);
  // Codes `rows` into the slots from size() on, which grow_to made.
  void encode_rows(std::span<const double> rows, const double* norms = nullptr,
                   bool count = false);
  // The range with the rows' clamped components counted, or a new range
  // from the live stored rows and these when that asks for one (then
  // `derived` is set). Leaves the store unchanged.
  Sq8Range counted_range(std::span<const double> stored, std::span<const double> rows,
                         bool& derived) const;
  // Codes every live stored row (slots below `slots`) again, counting.
  void encode_all(std::span<const double> stored, std::size_t slots);

  std::size_t dim_;
  MetricKind metric_;
  CodeKind kind_;
  std::size_t padded_;
  std::size_t lines_per_row_;
  std::size_t count_ = 0;
  Sq8Range range_;
  std::uint64_t range_changes_ = 0;
  std::vector<Line> lines_;
  std::vector<float> errors_;   // per slot, 8-bit codes only
  std::vector<float> lengths_;  // per slot, 8-bit codes only
};

}  // namespace halqen::codes
