#include "codes/code_store.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "codes/code_kernels.hpp"
#include "codes/code_resolution.hpp"
#include "common/huge_pages.hpp"

namespace halqen::codes {
namespace {

std::size_t round_up(std::size_t n, std::size_t block) {
  return (n + block - 1) / block * block;
}

std::size_t padded_length(std::size_t dim, CodeKind kind) {
  return kind == CodeKind::Float32 ? round_up(dim, kFloatBlock) : round_up(dim, kByteBlock);
}

std::size_t row_bytes(std::size_t padded, CodeKind kind) {
  return kind == CodeKind::Float32 ? padded * sizeof(float) : padded;
}

// Rows a piece of a parallel coding takes.
constexpr std::size_t kSlotsPerPiece = 2048;

// Float32 data whose largest magnitude lies from here to
// largest_scaled_code keeps exponent 0: even a difference of one float32
// step of that magnitude squares to a normal float32, (2^-40 * 2^-23)^2 =
// 2^-126.
constexpr double kSmallestUnscaled = 0x1p-40;

// ceil(log2(n)); 0 for n <= 1.
int bits_for(std::size_t n) {
  int bits = 0;
  while (bits < 64 && (std::size_t{1} << bits) < n) ++bits;
  return bits;
}

// x as a float32 no smaller than x.
float rounded_up(double x) {
  const float near = to_float(x);
  return near < x ? std::nextafter(near, std::numeric_limits<float>::infinity()) : near;
}

}  // namespace

// The largest |x| of `values` (NaN passed over), in independent lanes: one
// running maximum waits on each comparison before the next, lanes do not;
// a maximum is the same in any order.
template <class Number>
Number lane_largest(std::span<const Number> values) {
  constexpr std::size_t kLanes = 8;
  std::array<Number, kLanes> lanes{};
  std::size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      lanes[lane] = std::max(lanes[lane], std::fabs(values[i + lane]));
    }
  }
  Number largest = 0;
  for (; i < values.size(); ++i) largest = std::max(largest, std::fabs(values[i]));
  for (const Number lane : lanes) largest = std::max(largest, lane);
  return largest;
}

double largest_magnitude(std::span<const double> values) {
  return lane_largest(values);
}

double largest_magnitude(const RowsView& rows) {
  if (!rows.narrow()) return largest_magnitude(rows.wide_values());
  return lane_largest(rows.narrow_values());
}

float to_float(double x) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  return static_cast<float>(std::clamp(x, -kLargest, kLargest));
}

// Two codes within B of 0 differ by at most 2B per component, so a squared
// distance is at most dim * 4B^2 (a product sum less): with B =
// 2^floor((124 - bits(dim)) / 2) that is at most 2^126, a factor 4 below
// float32's largest, which covers the rounding of the partial sums. The
// margin also bounds how often a scale is lowered: a scale set or lowered
// brings the largest magnitude to [1, 2), so data must grow by more than
// 2^50 (dim up to 2^20) before the next change.
double largest_scaled_code(std::size_t dim) {
  return std::ldexp(1.0, (124 - bits_for(dim)) / 2);
}

int fitting_exponent(double largest, std::size_t dim) {
  if (largest >= kSmallestUnscaled && largest <= largest_scaled_code(dim)) return 0;
  return -std::ilogb(largest);
}

CodeStore::CodeStore(std::size_t dim, MetricKind metric, CodeKind kind)
    : dim_(dim),
      metric_(metric),
      kind_(kind),
      padded_(padded_length(dim, kind)),
      lines_per_row_(row_bytes(padded_, kind) / kLineBytes),
      range_(dim) {
  range_.keep_extremes(metric == MetricKind::InnerProduct);
}

void CodeStore::coded_vector(std::span<const double> row, std::vector<double>& out,
                             const double* squared) const {
  out.assign(row.begin(), row.end());
  normalize(out, squared);
}

void CodeStore::normalize(std::vector<double>& out, const double* squared) const {
  if (!normalizes()) return;
  const double norm = std::sqrt(squared != nullptr ? *squared : squared_norm(out));
  // A free slot's row is zero: its code stays zero, never NaN.
  if (norm == 0.0) return;
  for (double& x : out) x /= norm;
}

Float32Scale CodeStore::scale_of(const RowsView& rows) const {
  if (kind_ != CodeKind::Float32 || normalizes()) return {};
  const double largest = largest_magnitude(rows);
  if (largest == 0.0) return {};
  return {.set = true, .exponent = fitting_exponent(largest, dim_)};
}

bool CodeStore::scale_for(std::span<const double> rows) {
  return scale_for(largest_magnitude(rows));
}

bool CodeStore::scale_for(double largest) {
  if (kind_ != CodeKind::Float32 || normalizes()) return false;
  if (largest == 0.0) return false;
  if (!scale_.set) {
    // Unset, every code written so far is of a row of zeros.
    scale_ = {.set = true, .exponent = fitting_exponent(largest, dim_)};
    return false;
  }
  // Scaled too large (or to infinity) only where the exponent is too high.
  if (std::ldexp(largest, scale_.exponent) <= largest_scaled_code(dim_)) return false;
  scale_.exponent = fitting_exponent(largest, dim_);
  return true;
}

void CodeStore::append(const RowsView& stored, std::span<const double> rows) {
  const std::size_t count = dim_ == 0 ? 0 : rows.size() / dim_;
  if (kind_ != CodeKind::Sq8) {
    grow_to(count_ + count);
    if (scale_for(rows)) {
      ++range_changes_;
      encode_all(stored, count_);
    }
    encode_rows(rows);
    return;
  }
  bool derived = false;
  bool resolves = true;
  Sq8Range next = counted_range(stored, rows, derived, resolves);
  if (!resolves) {
    become_floats(stored, count_ + count);
    append(stored, rows);
    return;
  }
  grow_to(count_ + count);
  range_ = std::move(next);
  if (!derived) {
    encode_rows(rows);
    return;
  }
  ++range_changes_;
  encode_all(stored, count_);
  encode_rows(rows, nullptr, true);
}

Sq8Range CodeStore::counted_range(const RowsView& stored, std::span<const double> rows,
                                  bool& derived, bool& resolves) const {
  const std::size_t count = dim_ == 0 ? 0 : rows.size() / dim_;
  std::vector<double> scratch;
  Sq8Range next = range_;
  if (!next.empty()) {
    for (std::size_t i = 0; i < count; ++i) {
      coded_vector(rows.subspan(i * dim_, dim_), scratch);
      next.count_clamped(scratch);
    }
  }
  derived = next.needs_new_range() && count > 0;
  if (!derived) return next;
  // The live stored rows, then the new ones, as they are coded.
  const std::size_t stored_slots = std::min(count_, stored.count());
  std::vector<std::size_t> live_slots;
  live_slots.reserve(stored_slots);
  for (std::size_t slot = 0; slot < stored_slots; ++slot) {
    if (live(static_cast<std::uint32_t>(slot))) live_slots.push_back(slot);
  }
  const CodedRowAt row_at = [&](std::size_t i, std::vector<double>& out) {
    out.resize(dim_);
    if (i < live_slots.size()) {
      stored.copy_row(live_slots[i], out.data());
    } else {
      const std::span<const double> row = rows.subspan((i - live_slots.size()) * dim_, dim_);
      std::copy(row.begin(), row.end(), out.begin());
    }
    normalize(out);
    return std::span<const double>(out);
  };
  Sq8Range fresh(dim_);
  fresh.keep_extremes(metric_ == MetricKind::InnerProduct);
  fresh.derive(live_slots.size() + count, row_at, !range_.empty());
  resolves = sampled_code_recall(fresh, metric_, live_slots.size() + count, row_at) >=
             least_code_recall(metric_);
  return fresh;
}

void CodeStore::become_floats(const RowsView& stored, std::size_t slots) {
  const std::size_t padded = padded_length(dim_, CodeKind::Float32);
  const std::size_t lines_per_row = row_bytes(padded, CodeKind::Float32) / kLineBytes;
  std::vector<Line> lines(slots * lines_per_row);
  kind_ = CodeKind::Float32;
  padded_ = padded;
  lines_per_row_ = lines_per_row;
  lines_.swap(lines);
  errors_ = {};
  lengths_ = {};
  range_ = Sq8Range(dim_);
  ++range_changes_;
  scale_for(largest_magnitude(stored.first(count_)));
  encode_all(stored, count_);
}

namespace {

// The largest |x| of `rows`, its pieces on `loop`'s threads where one is
// given (a maximum is the same in any order).
double largest_in_pieces(const RowsView& rows, const CodeStore::PieceLoop& loop) {
  if (!loop) return largest_magnitude(rows);
  const std::size_t pieces = (rows.count() + kSlotsPerPiece - 1) / kSlotsPerPiece;
  std::vector<double> largest(pieces, 0.0);
  loop(pieces, [&](std::size_t piece) {
    const std::size_t end = std::min(rows.count(), (piece + 1) * kSlotsPerPiece);
    largest[piece] = largest_magnitude(rows.slice(piece * kSlotsPerPiece, end));
  });
  return pieces == 0 ? 0.0 : *std::ranges::max_element(largest);
}

}  // namespace

void CodeStore::append_slots(const RowsView& rows, std::span<const std::uint8_t> free,
                             std::span<const double> norms, const PieceLoop& loop) {
  const double* known = norms.empty() ? nullptr : norms.data();
  const std::size_t first = count_;
  grow_to(count_ + free.size());
  // Nothing is coded yet: a scale restored is only checked (free rows are
  // zeros, which never change it). Only unnormalized float32 codes have a
  // scale: the others spare the pass over the rows.
  if (kind_ == CodeKind::Float32 && !normalizes() && scale_for(largest_in_pieces(rows, loop))) {
    ++range_changes_;
  }
  const bool derive = kind_ == CodeKind::Sq8 && range_.empty();
  if (derive) {
    std::vector<std::size_t> live_slots;
    for (std::size_t slot = 0; slot < free.size(); ++slot) {
      if (free[slot] == 0) live_slots.push_back(slot);
    }
    const CodedRowAt row_at = [&](std::size_t i, std::vector<double>& out) {
      const std::size_t slot = live_slots[i];
      out.resize(dim_);
      rows.copy_row(slot, out.data());
      normalize(out, known ? known + slot : nullptr);
      return std::span<const double>(out);
    };
    range_.derive(live_slots.size(), row_at);
    if (!range_.empty()) ++range_changes_;
  }
  // A range just derived counts what each row clamps, in sums of its own:
  // those rows are coded one after another.
  const std::size_t pieces = (free.size() + kSlotsPerPiece - 1) / kSlotsPerPiece;
  const auto code_piece = [&](std::size_t piece) {
    std::vector<double> scratch;
    std::vector<double> widened;
    const std::size_t end = std::min(free.size(), (piece + 1) * kSlotsPerPiece);
    for (std::size_t slot = piece * kSlotsPerPiece; slot < end; ++slot) {
      const auto at = static_cast<std::uint32_t>(first + slot);
      if (free[slot] != 0) {
        clear(at);
      } else {
        encode(at, rows.row(slot, widened), scratch, known ? known + slot : nullptr, derive);
      }
    }
  };
  if (derive || !loop) {
    for (std::size_t piece = 0; piece < pieces; ++piece) code_piece(piece);
  } else {
    loop(pieces, code_piece);
  }
  count_ += free.size();
}

std::size_t code_row_bytes(std::size_t dim, CodeKind kind) {
  return row_bytes(padded_length(dim, kind), kind);
}

void CodeStore::append_saved(SavedCodes&& saved, std::span<const std::uint8_t> free) {
  lines_ = std::move(saved.lines);
  errors_ = std::move(saved.errors);
  lengths_ = std::move(saved.lengths);
  count_ = free.size();
  for (std::size_t slot = 0; slot < free.size(); ++slot) {
    if (free[slot] != 0) clear(static_cast<std::uint32_t>(slot));
  }
}

void CodeStore::map(const CodeLine* lines, const float* errors, const float* lengths,
                    std::size_t count, std::shared_ptr<const void> owner) {
  mapped_ = Mapped{.lines = lines, .errors = errors, .lengths = lengths, .owner = std::move(owner)};
  count_ = count;
}

void CodeStore::reserve_room(std::size_t slots) {
  const bool fresh = lines_.capacity() < slots * lines_per_row_;
  lines_.reserve(slots * lines_per_row_);
  if (fresh) prefer_huge_pages(lines_);
  if (kind_ == CodeKind::Sq8) {
    errors_.reserve(slots);
    lengths_.reserve(slots);
  }
}

void CodeStore::grow_to(std::size_t count) {
  if (kind_ == CodeKind::Sq8) {
    errors_.resize(count);
    try {
      lengths_.resize(count);
    } catch (...) {
      errors_.resize(count_);
      throw;
    }
  }
  try {
    lines_.resize(count * lines_per_row_);
  } catch (...) {
    errors_.resize(count_);
    lengths_.resize(count_);
    throw;
  }
}

void CodeStore::encode_rows(std::span<const double> rows, const double* norms, bool count) {
  const std::size_t added = dim_ == 0 ? 0 : rows.size() / dim_;
  std::vector<double> scratch;
  for (std::size_t i = 0; i < added; ++i) {
    encode(static_cast<std::uint32_t>(count_ + i), rows.subspan(i * dim_, dim_), scratch,
           norms ? norms + i : nullptr, count);
  }
  count_ += added;
}

void CodeStore::overwrite(std::uint32_t slot, const RowsView& stored, std::span<const double> row) {
  std::vector<double> scratch;
  if (kind_ != CodeKind::Sq8) {
    if (scale_for(row)) {
      ++range_changes_;
      encode_all(stored, count_);
    }
    encode(slot, row, scratch);
    return;
  }
  // The slot's old vector, if any, is stored but no longer counts.
  clear(slot);
  bool derived = false;
  bool resolves = true;
  Sq8Range next = counted_range(stored, row, derived, resolves);
  if (!resolves) {
    become_floats(stored, count_);
    overwrite(slot, stored, row);
    return;
  }
  range_ = std::move(next);
  if (derived) {
    ++range_changes_;
    encode_all(stored, count_);
  }
  encode(slot, row, scratch, nullptr, derived);
}

void CodeStore::clear(std::uint32_t slot) {
  std::memset(static_cast<void*>(line_of(slot)), 0, lines_per_row_ * kLineBytes);
  if (kind_ == CodeKind::Sq8) {
    errors_[slot] = std::numeric_limits<float>::quiet_NaN();
    lengths_[slot] = 0.0F;
  }
}

void CodeStore::truncate(std::size_t count) {
  if (count >= count_) return;
  count_ = count;
  lines_.resize(count * lines_per_row_);
  if (kind_ == CodeKind::Sq8) {
    errors_.resize(count);
    lengths_.resize(count);
  }
}

void CodeStore::encode_all(const RowsView& stored, std::size_t slots) {
  std::vector<double> scratch;
  std::vector<double> widened;
  const std::size_t count = std::min(slots, stored.count());
  for (std::size_t slot = 0; slot < count; ++slot) {
    const auto at = static_cast<std::uint32_t>(slot);
    if (live(at)) encode(at, stored.row(slot, widened), scratch, nullptr, true);
  }
}

void CodeStore::encode(std::uint32_t slot, std::span<const double> row,
                       std::vector<double>& scratch, const double* squared, bool count) {
  std::span<const double> coded = row;
  if (normalizes()) {
    coded_vector(row, scratch, squared);
    coded = scratch;
  }
  if (count && kind_ == CodeKind::Sq8) range_.count_clamped(coded);
  write_code(slot, coded);
}

void CodeStore::write_code(std::uint32_t slot, std::span<const double> coded) {
  if (kind_ == CodeKind::Float32) {
    auto* out = reinterpret_cast<float*>(line_of(slot));
    float_codes(coded.first(dim_), out);
    // Only the padding is cleared: the numbers are all written.
    std::fill(out + dim_, reinterpret_cast<float*>(line_of(slot) + lines_per_row_), 0.0F);
    return;
  }
  std::memset(static_cast<void*>(line_of(slot)), 0, lines_per_row_ * kLineBytes);
  auto* out = reinterpret_cast<std::uint8_t*>(line_of(slot));
  double length = 0.0;
  for (std::size_t d = 0; d < dim_; ++d) {
    out[d] = range_.code(d, coded[d]);
    const double part = range_.step_share(d) * out[d];
    length += part * part;
  }
  lengths_[slot] = static_cast<float>(length);
  errors_[slot] = rounded_up(range_.coding_error(coded, out));
}

}  // namespace halqen::codes
