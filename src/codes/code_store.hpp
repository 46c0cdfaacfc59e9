// The compact code of every stored vector, by slot, for walks that read
// codes instead of the float64 rows: float32 numbers, or 8-bit scalar codes
// (sq8_range.hpp). Under the cosine the codes are of the normalized vector,
// so that their euclidean order is the cosine's. Each code fills whole
// cache lines, zero-padded. Beside each 8-bit code: its coding error, and
// its squared length in the range's largest step (the per-vector part of a
// distance across dimensions of unequal steps, code_query.hpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codes/sq8_range.hpp"
#include "common/rows_view.hpp"
#include "metrics/metrics.hpp"

namespace halqen::codes {

enum class CodeKind { Float32, Sq8 };

// x as a float32, a magnitude beyond float32's range as its largest value.
float to_float(double x);
// The largest |x| of the values; 0 for none.
double largest_magnitude(std::span<const double> values);
double largest_magnitude(const RowsView& rows);

// The power of two float32 codes are scaled by: a component x codes as
// to_float(x * 2^exponent), so that finite float64 data of any magnitude
// codes finitely, and small data does not go subnormal. Unset until a store
// codes its first row that is not all zeros, which sets it; after that it
// is only ever lowered, when a row would code too large (every code then
// coded again). Data that fits float32 comfortably keeps exponent 0 (the
// codes are the plain float32 values). The cosine's codes are of unit
// vectors and leave it unset.
struct Float32Scale {
  bool set = false;
  int exponent = 0;

  bool operator==(const Float32Scale&) const = default;
};

// Every exponent a scale can take: 2^-1023 brings the largest float64 to
// [1, 2), 2^1074 the smallest.
inline constexpr int kLowestScaleExponent = -1023;
inline constexpr int kHighestScaleExponent = 1074;

// The largest magnitude a scaled float32 code of `dim` numbers may have:
// no squared distance between two such codes (nor product sum) can then
// overflow float32, whatever order the kernels add in.
double largest_scaled_code(std::size_t dim);
// The exponent for float32 codes of `dim` numbers whose largest magnitude
// is `largest` (> 0): 0 where that fits comfortably, else the one that
// brings `largest` to [1, 2).
int fitting_exponent(double largest, std::size_t dim);

// The bytes of one code row of `dim` numbers, padded as a store of `kind`
// keeps it.
std::size_t code_row_bytes(std::size_t dim, CodeKind kind);

// A cache line of code bytes: each code fills whole lines, zero-padded.
// Made without a value: whoever makes room for lines writes every one (a
// code, a cleared slot, or bytes read), and clearing them first would touch
// every fresh page on one thread before the coding on all of them.
inline constexpr std::size_t kCodeLineBytes = 64;
struct alignas(kCodeLineBytes) CodeLine {
  CodeLine() {}  // left unset on purpose (see above)
  unsigned char bytes[kCodeLineBytes];
};

// An 8-bit store's codes as saved: every slot's code row (whole lines),
// coding error and code length, by slot. Reading them back spares coding
// every row again; the store takes the arrays as they are.
struct SavedCodes {
  std::vector<CodeLine> lines;
  std::vector<float> errors;
  std::vector<float> lengths;
};

class CodeStore {
 public:
  static constexpr std::size_t kLineBytes = kCodeLineBytes;

  CodeStore(std::size_t dim, MetricKind metric, CodeKind kind);

  // Appends the codes of `rows` (dim numbers each). `stored` holds every
  // vector already coded, by slot: when the rows ask for a new 8-bit
  // range, it is derived from them all and those are coded again; where 8-bit
  // codes could not tell their neighbours apart (code_resolution.hpp), the
  // store keeps float32 codes from then on, and kind() says so. Throws
  // std::bad_alloc with the store unchanged.
  void append(const RowsView& stored, std::span<const double> rows);
  // Appends the codes of a whole store read back, where `free` flags the
  // slots whose rows are only zeros: those stay cleared and, like every
  // free slot of the store it was read from, take no part in the range.
  // The range restored before is kept as it was saved; without one, it is
  // derived from the live rows. `norms`: the rows' squared norms, where the
  // caller has them (a store that normalizes needs them, and computes them
  // when they are empty). Where no range is derived, the rows are coded in
  // pieces that `loop` may run at once on several threads: each piece
  // writes its own slots only.
  using PieceLoop =
      std::function<void(std::size_t pieces, const std::function<void(std::size_t)>& each)>;
  void append_slots(const RowsView& rows, std::span<const std::uint8_t> free,
                    std::span<const double> norms = {}, const PieceLoop& loop = {});
  // As append_slots for an 8-bit store whose range was restored, from its
  // saved codes (every slot's, of the store it was read from) instead of
  // the rows: the codes the rows would give under that range, taken as
  // they are (with their room). Free slots are cleared whatever was saved
  // for them. Precondition: the store is empty and the saved arrays hold
  // `free.size()` slots each.
  void append_saved(SavedCodes&& saved, std::span<const std::uint8_t> free);
  // The codes as append_saved takes them back: every slot's code row, and
  // for 8-bit codes its coding error and code length.
  std::span<const std::uint8_t> code_rows() const {
    return {reinterpret_cast<const std::uint8_t*>(lines_base()),
            count_ * lines_per_row_ * kLineBytes};
  }
  std::span<const float> coding_errors() const {
    return mapped_ ? std::span<const float>(mapped_->errors, count_)
                   : std::span<const float>(errors_);
  }
  std::span<const float> code_lengths() const {
    return mapped_ ? std::span<const float>(mapped_->lengths, count_)
                   : std::span<const float>(lengths_);
  }
  // An empty 8-bit store whose range was restored takes `count` slots'
  // codes, errors and lengths where they lie (a mapped file), kept alive by
  // `owner`: read-only from then on, nothing of them read now.
  void map(const CodeLine* lines, const float* errors, const float* lengths, std::size_t count,
           std::shared_ptr<const void> owner);
  // Room for `slots` slots in all (address space: nothing is touched).
  void reserve_room(std::size_t slots);
  // Codes `row` into an existing slot (a slot refilled after a removal);
  // `stored` as for append, the slot's old vector may be in it.
  void overwrite(std::uint32_t slot, const RowsView& stored, std::span<const double> row);
  // Zeroes a removed slot's code.
  void clear(std::uint32_t slot);
  // Keeps the first `count` codes.
  void truncate(std::size_t count);
  // A store read back: the range it had (8-bit codes), then append.
  void restore_range(Sq8Range range) {
    range_ = std::move(range);
    range_.keep_extremes(metric_ == MetricKind::InnerProduct);
  }
  // A store read back: the scale it had (float32 codes), then append_slots,
  // which lowers it where a row does not fit.
  void restore_scale(Float32Scale scale) { scale_ = scale; }

  std::size_t size() const { return count_; }
  std::size_t dim() const { return dim_; }
  MetricKind metric() const { return metric_; }
  CodeKind kind() const { return kind_; }
  // Numbers (float32) or codes (8-bit) per padded row.
  std::size_t padded() const { return padded_; }
  const Sq8Range& range() const { return range_; }
  const Float32Scale& scale() const { return scale_; }
  // The scale a new store of this kind would set from `rows` alone (what a
  // store read back without its scale takes).
  Float32Scale scale_of(const RowsView& rows) const;
  // x as this store's float32 codes hold it (scaled).
  float float_code(double x) const {
    float code = 0.0F;
    float_codes(std::span<const double>(&x, 1), &code);
    return code;
  }
  // `numbers` as this store's float32 codes hold them (scaled), into `out`;
  // the scale's branch is taken once, not per number.
  void float_codes(std::span<const double> numbers, float* out) const {
    if (scale_.exponent == 0) {
      for (std::size_t d = 0; d < numbers.size(); ++d) out[d] = to_float(numbers[d]);
      return;
    }
    for (std::size_t d = 0; d < numbers.size(); ++d) {
      out[d] = to_float(std::ldexp(numbers[d], scale_.exponent));
    }
  }
  // How many times the 8-bit range or the float32 scale changed (every
  // code then changed too).
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
  double coding_error(std::uint32_t slot) const { return coding_errors()[slot]; }
  // 8-bit codes: sum over d of (step_share(d) * code[d])^2.
  double code_length(std::uint32_t slot) const { return code_lengths()[slot]; }
  void prefetch_length(std::uint32_t slot) const {
    __builtin_prefetch(code_lengths().data() + slot);
  }
  std::uint64_t heap_bytes() const {
    return lines_.capacity() * kLineBytes + errors_.capacity() * sizeof(float) +
           lengths_.capacity() * sizeof(float);
  }

  // The vector the codes stand for: `row` itself, or normalized.
  // `squared`: the row's squared norm, when known.
  void coded_vector(std::span<const double> row, std::vector<double>& out,
                    const double* squared = nullptr) const;
  // `vector` as coded_vector gives it, in place.
  void normalize(std::vector<double>& vector, const double* squared = nullptr) const;

 private:
  // Whether a slot holds a vector (was not cleared).
  bool live(std::uint32_t slot) const {
    return kind_ != CodeKind::Sq8 || errors_[slot] == errors_[slot];
  }

  using Line = CodeLine;

  static constexpr std::size_t kStartLines = 2;

  void prefetch_lines(std::uint32_t slot, std::size_t lines) const {
    const auto* first = reinterpret_cast<const char*>(line_of(slot));
    for (std::size_t line = 0; line < lines; ++line) __builtin_prefetch(first + line * kLineBytes);
  }
  const Line* lines_base() const { return mapped_ ? mapped_->lines : lines_.data(); }
  const Line* line_of(std::uint32_t slot) const {
    return lines_base() + static_cast<std::size_t>(slot) * lines_per_row_;
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
  void encode_rows(std::span<const double> rows, const double* norms = nullptr, bool count = false);
  // The range with the rows' clamped components counted, or a new range
  // from the live stored rows and these when that asks for one (then
  // `derived` is set, and `resolves` says whether its codes can tell the
  // rows' neighbours apart). Leaves the store unchanged.
  Sq8Range counted_range(const RowsView& stored, std::span<const double> rows, bool& derived,
                         bool& resolves) const;
  // Turns an 8-bit store into a float32 one for good, with room for
  // `slots` codes, the stored rows coded again. Throws std::bad_alloc with
  // the store unchanged.
  void become_floats(const RowsView& stored, std::size_t slots);
  // Codes every live stored row (slots below `slots`) again, counting.
  void encode_all(const RowsView& stored, std::size_t slots);
  // Sets the float32 scale for `rows`, or lowers it where one does not fit;
  // whether the codes already written must be coded again.
  bool scale_for(std::span<const double> rows);
  bool scale_for(double largest);

  std::size_t dim_;
  MetricKind metric_;
  CodeKind kind_;
  std::size_t padded_;
  std::size_t lines_per_row_;
  std::size_t count_ = 0;
  Sq8Range range_;
  Float32Scale scale_;
  std::uint64_t range_changes_ = 0;
  std::vector<Line> lines_;
  std::vector<float> errors_;   // per slot, 8-bit codes only
  std::vector<float> lengths_;  // per slot, 8-bit codes only
  // Set for codes used where they lie (map): the arrays above stay empty.
  struct Mapped {
    const Line* lines;
    const float* errors;
    const float* lengths;
    std::shared_ptr<const void> owner;
  };
  std::optional<Mapped> mapped_;
};

}  // namespace halqen::codes
