#include "codes/code_store.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "codes/code_kernels.hpp"

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

double largest_magnitude(std::span<const double> rows) {
  double largest = 0.0;
  for (const double x : rows) largest = std::max(largest, std::fabs(x));
  return largest;
}

// x as a float32 no smaller than x.
float rounded_up(double x) {
  const float near = to_float(x);
  return near < x ? std::nextafter(near, std::numeric_limits<float>::infinity()) : near;
}

}  // namespace

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
      range_(dim) {}

void CodeStore::coded_vector(std::span<const double> row, std::vector<double>& out,
                             const double* squared) const {
  out.assign(row.begin(), row.end());
  if (!normalizes()) return;
  const double norm = std::sqrt(squared != nullptr ? *squared : squared_norm(row));
  // A free slot's row is zero: its code stays zero, never NaN.
  if (norm == 0.0) return;
  for (double& x : out) x /= norm;
}

bool CodeStore::covers_coded(std::span<const double> rows, std::vector<double>& scratch,
                             const double* norms) const {
  if (!normalizes()) return range_.covers(rows);
  // Row by row: a normalised copy of them all would double a load's memory.
  bool inside = true;
  for (std::size_t row = 0; row < rows.size() && inside; row += dim_) {
    coded_vector(rows.subspan(row, dim_), scratch, norms ? norms + row / dim_ : nullptr);
    inside = range_.covers(scratch);
  }
  return inside;
}

Float32Scale CodeStore::scale_of(std::span<const double> rows) const {
  if (kind_ != CodeKind::Float32 || normalizes()) return {};
  const double largest = largest_magnitude(rows);
  if (largest == 0.0) return {};
  return {.set = true, .exponent = fitting_exponent(largest, dim_)};
}

bool CodeStore::scale_for(std::span<const double> rows) {
  if (kind_ != CodeKind::Float32 || normalizes()) return false;
  const double largest = largest_magnitude(rows);
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

void CodeStore::append(std::span<const double> stored, std::span<const double> rows) {
  const std::size_t count = dim_ == 0 ? 0 : rows.size() / dim_;
  grow_to(count_ + count);
  if (scale_for(rows)) {
    ++range_changes_;
    encode_all(stored);
  }
  if (kind_ == CodeKind::Sq8 && widen_for(rows)) {
    ++range_changes_;
    encode_all(stored);
  }
  encode_rows(rows);
}

void CodeStore::append_slots(std::span<const double> rows, std::span<const std::uint8_t> free,
                             std::span<const double> norms) {
  const double* known = norms.empty() ? nullptr : norms.data();
  const std::size_t first = count_;
  grow_to(count_ + free.size());
  // Nothing is coded yet: a scale restored is only checked (free rows are
  // zeros, which never change it).
  if (scale_for(rows)) ++range_changes_;
  if (!encode_slots_in_range(rows, free, known)) {
    bool widened = false;
    for (std::size_t begin = 0; begin < free.size();) {
      std::size_t end = begin;
      while (end < free.size() && free[end] == free[begin]) ++end;
      if (kind_ == CodeKind::Sq8 && free[begin] == 0) {
        widened |= widen_for(rows.subspan(begin * dim_, (end - begin) * dim_),
                             known ? known + begin : nullptr);
      }
      begin = end;
    }
    if (widened) ++range_changes_;
    encode_rows(rows, known);
  } else {
    count_ += free.size();
  }
  for (std::size_t slot = 0; slot < free.size(); ++slot) {
    if (free[slot] != 0) clear(static_cast<std::uint32_t>(first + slot));
  }
}

// A range read back covers every live row the store it was saved from held:
// each row is coded once, in the same pass that checks it. False, with
// nothing counted, at the first row outside (a range from elsewhere).
bool CodeStore::encode_slots_in_range(std::span<const double> rows,
                                      std::span<const std::uint8_t> free, const double* norms) {
  if (kind_ == CodeKind::Sq8 && range_.empty()) return false;
  std::vector<double> scratch;
  for (std::size_t slot = 0; slot < free.size(); ++slot) {
    if (free[slot] != 0) continue;
    const std::span<const double> row = rows.subspan(slot * dim_, dim_);
    std::span<const double> coded = row;
    if (normalizes()) {
      coded_vector(row, scratch, norms ? norms + slot : nullptr);
      coded = scratch;
    }
    if (kind_ == CodeKind::Sq8 && !range_.covers(coded)) return false;
    write_code(static_cast<std::uint32_t>(count_ + slot), coded);
  }
  return true;
}

void CodeStore::grow_to(std::size_t count) {
  if (kind_ == CodeKind::Sq8) errors_.resize(count);
  try {
    lines_.resize(count * lines_per_row_);
  } catch (...) {
    errors_.resize(count_);
    throw;
  }
}

void CodeStore::encode_rows(std::span<const double> rows, const double* norms) {
  const std::size_t count = dim_ == 0 ? 0 : rows.size() / dim_;
  std::vector<double> scratch;
  for (std::size_t i = 0; i < count; ++i) {
    encode(static_cast<std::uint32_t>(count_ + i), rows.subspan(i * dim_, dim_), scratch,
           norms ? norms + i : nullptr);
  }
  count_ += count;
}

bool CodeStore::widen_for(std::span<const double> rows, const double* norms) {
  std::vector<double> scratch;
  if (covers_coded(rows, scratch, norms)) return false;
  std::span<const double> coded = rows;
  std::vector<double> normalized;
  if (normalizes()) {
    normalized.reserve(rows.size());
    for (std::size_t i = 0; i * dim_ < rows.size(); ++i) {
      coded_vector(rows.subspan(i * dim_, dim_), scratch, norms ? norms + i : nullptr);
      normalized.insert(normalized.end(), scratch.begin(), scratch.end());
    }
    coded = normalized;
  }
  range_.widen(coded);
  return true;
}

void CodeStore::overwrite(std::uint32_t slot, std::span<const double> stored,
                          std::span<const double> row) {
  std::vector<double> scratch;
  if (scale_for(row)) {
    ++range_changes_;
    encode_all(stored.subspan(0, std::min(stored.size(), count_ * dim_)));
  }
  if (kind_ == CodeKind::Sq8) {
    coded_vector(row, scratch);
    if (!range_.covers(scratch)) {
      range_.widen(scratch);
      ++range_changes_;
      encode_all(stored.subspan(0, std::min(stored.size(), count_ * dim_)));
    }
  }
  encode(slot, row, scratch);
}

void CodeStore::clear(std::uint32_t slot) {
  std::memset(line_of(slot), 0, lines_per_row_ * kLineBytes);
  if (kind_ == CodeKind::Sq8) errors_[slot] = std::numeric_limits<float>::infinity();
}

void CodeStore::truncate(std::size_t count) {
  if (count >= count_) return;
  count_ = count;
  lines_.resize(count * lines_per_row_);
  if (kind_ == CodeKind::Sq8) errors_.resize(count);
}

void CodeStore::encode_all(std::span<const double> stored) {
  std::vector<double> scratch;
  const std::size_t count = std::min(count_, dim_ == 0 ? 0 : stored.size() / dim_);
  for (std::size_t slot = 0; slot < count; ++slot) {
    encode(static_cast<std::uint32_t>(slot), stored.subspan(slot * dim_, dim_), scratch);
  }
}

void CodeStore::encode(std::uint32_t slot, std::span<const double> row,
                       std::vector<double>& scratch, const double* squared) {
  std::span<const double> coded = row;
  if (normalizes()) {
    coded_vector(row, scratch, squared);
    coded = scratch;
  }
  write_code(slot, coded);
}

void CodeStore::write_code(std::uint32_t slot, std::span<const double> coded) {
  clear(slot);
  if (kind_ == CodeKind::Float32) {
    auto* out = reinterpret_cast<float*>(line_of(slot));
    for (std::size_t d = 0; d < dim_; ++d) out[d] = float_code(coded[d]);
    return;
  }
  auto* out = reinterpret_cast<std::uint8_t*>(line_of(slot));
  for (std::size_t d = 0; d < dim_; ++d) out[d] = range_.code(d, coded[d]);
  errors_[slot] = rounded_up(range_.coding_error(coded, out));
}

}  // namespace halqen::codes
