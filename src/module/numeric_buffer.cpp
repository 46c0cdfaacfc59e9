#include "module/numeric_buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "common/checked_product.hpp"
#include "common/grow.hpp"

namespace halqen::py {
namespace {

constexpr int kVectorDimensions = 1;
constexpr int kRowsDimensions = 2;
// A view with a zero stride repeats one element without storing it, so its
// length says nothing about memory the caller holds: beyond this many
// elements such a vector grows geometrically instead.
constexpr std::size_t kMaxRepeatedReserve = std::size_t{1} << 16;

// The bits of an IEEE binary16 number, as numpy's float16 stores them.
struct HalfBits {
  std::uint16_t bits;
};
static_assert(sizeof(HalfBits) == sizeof(std::uint16_t));

enum class Element {
  Bool,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Half,
  Float,
  Double,
  LongDouble,
};

// Whether the type was defined in native code. A class statement can take
// any name, "array.array" included, but never makes an immutable type.
bool is_native_type(PyTypeObject* type) {
#ifdef Py_TPFLAGS_IMMUTABLETYPE
  return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE);
#else
  return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
#endif
}

// Exact types only: a subclass may iterate to other values than its buffer.
bool has_trusted_buffer_type(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  const std::string_view name = type->tp_name;
  return (name == "numpy.ndarray" || name == "array.array") && is_native_type(type);
}

// A Py_buffer released on every path out.
class BufferView {
 public:
  explicit BufferView(PyObject* object) {
    acquired_ = PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0;
    if (!acquired_) {
      PyErr_Clear();  // no buffer: the element-wise conversion decides
    }
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (acquired_) {
      PyBuffer_Release(&view_);
    }
  }

  bool acquired() const { return acquired_; }
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool acquired_ = false;
};

bool is_native_order(char prefix) {
  switch (prefix) {
    case '@':
    case '=':
      return true;
    case '<':
      return std::endian::native == std::endian::little;
    case '>':
    case '!':
      return std::endian::native == std::endian::big;
    default:
      return false;
  }
}

std::optional<Element> integer_element(bool is_signed, Py_ssize_t size) {
  switch (size) {
    case sizeof(std::int8_t):
      return is_signed ? Element::Int8 : Element::UInt8;
    case sizeof(std::int16_t):
      return is_signed ? Element::Int16 : Element::UInt16;
    case sizeof(std::int32_t):
      return is_signed ? Element::Int32 : Element::UInt32;
    case sizeof(std::int64_t):
      return is_signed ? Element::Int64 : Element::UInt64;
    default:
      return std::nullopt;
  }
}

// The element type of a struct-module format of one item ("d", "<i", "@?"),
// its width taken from the buffer's item size. Long double only in native
// size, where the item size is the compiler's.
std::optional<Element> element_of(const char* format, Py_ssize_t size) {
  std::string_view code = format != nullptr ? format : "B";
  bool native_size = true;
  if (code.size() == 2) {
    if (!is_native_order(code[0])) {
      return std::nullopt;
    }
    native_size = code[0] == '@';
    code.remove_prefix(1);
  }
  if (code.size() != 1) {
    return std::nullopt;
  }
  switch (code[0]) {
    case '?':
      return size == sizeof(char) ? std::optional(Element::Bool) : std::nullopt;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
      return integer_element(true, size);
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
      return integer_element(false, size);
    case 'e':
      return size == sizeof(HalfBits) ? std::optional(Element::Half) : std::nullopt;
    case 'f':
      return size == sizeof(float) ? std::optional(Element::Float) : std::nullopt;
    case 'd':
      return size == sizeof(double) ? std::optional(Element::Double) : std::nullopt;
    case 'g':
      return native_size && size == sizeof(long double) ? std::optional(Element::LongDouble)
                                                        : std::nullopt;
    default:
      return std::nullopt;
  }
}

// IEEE binary16 to binary64 bit by bit, as numpy widens its float16 scalars:
// every value is exact, NaN payloads are shifted over unchanged.
double half_to_double(std::uint16_t half) {
  constexpr int kHalfMantissaBits = 10;
  constexpr int kDoubleMantissaBits = 52;
  constexpr int kMantissaShift = kDoubleMantissaBits - kHalfMantissaBits;
  constexpr std::uint16_t kHalfExponentMask = 0x7c00;
  constexpr std::uint16_t kHalfMantissaMask = 0x03ff;
  constexpr int kHalfBias = 15;
  constexpr int kDoubleBias = 1023;
  constexpr std::uint64_t kDoubleExponentMask = 0x7ff0000000000000;
  constexpr int kHalfSignBit = 15;
  constexpr int kDoubleSignBit = 63;
  const std::uint64_t sign = static_cast<std::uint64_t>(half >> kHalfSignBit) << kDoubleSignBit;
  const std::uint16_t exponent_bits = half & kHalfExponentMask;
  std::uint64_t mantissa = half & kHalfMantissaMask;
  if (exponent_bits == kHalfExponentMask) {
    return std::bit_cast<double>(sign | kDoubleExponentMask | (mantissa << kMantissaShift));
  }
  int exponent = exponent_bits >> kHalfMantissaBits;
  if (exponent == 0) {
    if (mantissa == 0) {
      return std::bit_cast<double>(sign);
    }
    // Subnormal: normalise, every half subnormal is a normal double.
    exponent = 1;
    while ((mantissa & (kHalfMantissaMask + 1)) == 0) {
      mantissa <<= 1;
      --exponent;
    }
    mantissa &= kHalfMantissaMask;
  }
  const auto biased = static_cast<std::uint64_t>(exponent - kHalfBias + kDoubleBias);
  return std::bit_cast<double>(sign | (biased << kDoubleMantissaBits) |
                               (mantissa << kMantissaShift));
}

template <class T>
double widen(const char* item) {
  T value;
  std::memcpy(&value, item, sizeof(T));
  if constexpr (std::is_same_v<T, HalfBits>) {
    return half_to_double(value.bits);
  } else {
    return static_cast<double>(value);
  }
}

std::size_t reserve_for(std::size_t count, Py_ssize_t stride) {
  return stride == 0 ? std::min(count, kMaxRepeatedReserve) : count;
}

template <class T>
void append_items(std::vector<double>& out, const char* base, Py_ssize_t stride,
                  std::size_t count) {
  reserve_for_append(out, reserve_for(count, stride));
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(widen<T>(base + static_cast<Py_ssize_t>(i) * stride));
  }
}

bool is_double_aligned(const char* base) {
  return reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
}

// A contiguous run of native doubles is copied as it is, in one pass.
void append_doubles(std::vector<double>& out, const char* base, Py_ssize_t stride,
                    std::size_t count) {
  if (stride != static_cast<Py_ssize_t>(sizeof(double))) {
    append_items<double>(out, base, stride, count);
    return;
  }
  if (count == 0) {
    return;  // an empty view's pointer may be null, which memcpy must not get
  }
  if (is_double_aligned(base)) {
    const auto* first = reinterpret_cast<const double*>(base);
    out.insert(out.end(), first, first + count);
    return;
  }
  const std::size_t old_size = out.size();
  out.resize(old_size + count);
  std::memcpy(out.data() + old_size, base, count * sizeof(double));
}

// Bool items are read as bytes: numpy stores them as 0/1 but any nonzero
// byte reads as True, which a C++ bool may not hold.
void append_bools(std::vector<double>& out, const char* base, Py_ssize_t stride,
                  std::size_t count) {
  reserve_for_append(out, reserve_for(count, stride));
  for (std::size_t i = 0; i < count; ++i) {
    const char item = base[static_cast<Py_ssize_t>(i) * stride];
    out.push_back(item != 0 ? 1.0 : 0.0);
  }
}

void append_read_items(std::vector<double>& out, Element element, const char* base,
                       Py_ssize_t stride, std::size_t count) {
  switch (element) {
    case Element::Bool:
      append_bools(out, base, stride, count);
      break;
    case Element::Int8:
      append_items<std::int8_t>(out, base, stride, count);
      break;
    case Element::Int16:
      append_items<std::int16_t>(out, base, stride, count);
      break;
    case Element::Int32:
      append_items<std::int32_t>(out, base, stride, count);
      break;
    case Element::Int64:
      append_items<std::int64_t>(out, base, stride, count);
      break;
    case Element::UInt8:
      append_items<std::uint8_t>(out, base, stride, count);
      break;
    case Element::UInt16:
      append_items<std::uint16_t>(out, base, stride, count);
      break;
    case Element::UInt32:
      append_items<std::uint32_t>(out, base, stride, count);
      break;
    case Element::UInt64:
      append_items<std::uint64_t>(out, base, stride, count);
      break;
    case Element::Half:
      append_items<HalfBits>(out, base, stride, count);
      break;
    case Element::Float:
      append_items<float>(out, base, stride, count);
      break;
    case Element::Double:
      append_doubles(out, base, stride, count);
      break;
    case Element::LongDouble:
      append_items<long double>(out, base, stride, count);
      break;
  }
}

// A 2-D view of `rows` rows of `columns` items.
struct RowsView {
  Element element;
  const char* base;
  std::size_t rows;
  std::size_t columns;
  Py_ssize_t row_stride;
  Py_ssize_t item_stride;

  const char* row(std::size_t index) const {
    return base + static_cast<Py_ssize_t>(index) * row_stride;
  }
  // Rows of native doubles laid out one after another, as in a C-ordered array.
  bool is_contiguous_doubles() const {
    return element == Element::Double && item_stride == static_cast<Py_ssize_t>(sizeof(double)) &&
           row_stride == static_cast<Py_ssize_t>(columns * sizeof(double)) &&
           is_double_aligned(base);
  }
};

// Room for every number and row end at once, unless a zero stride repeats
// items the array does not hold (then growth is geometric, as above).
void reserve_rows(VectorList& vectors, const RowsView& view) {
  const std::optional<std::uint64_t> numbers = checked_product(view.rows, view.columns);
  if (!numbers) {
    throw std::length_error("a 2-D array of " + std::to_string(view.rows) + " rows of " +
                            std::to_string(view.columns) + " numbers");
  }
  const bool repeats = view.row_stride == 0 || view.item_stride == 0;
  vectors.reserve_numbers(repeats ? std::min<std::uint64_t>(*numbers, kMaxRepeatedReserve)
                                  : *numbers);
  vectors.reserve_vectors(reserve_for(view.rows, view.row_stride));
}

// Numbers copied at once from a C-ordered float64 array: 256 MiB, some tens
// of milliseconds between two checks for signals. glibc's memcpy writes a
// copy this long with streaming stores, which skip reading the destination
// into the cache first (it switches at 192 MiB on the benchmark machine);
// copied in short chunks the same array takes about 1.5 times as long.
constexpr std::size_t kCopyChunkNumbers = std::size_t{1} << 25;

// Whole chunks of rows copied at once, checking for signals between chunks.
PyResult<void> append_contiguous_rows(VectorList& vectors, const RowsView& view,
                                      SignalPoll& signals) {
  const std::size_t chunk_rows = std::max<std::size_t>(1, kCopyChunkNumbers / view.columns);
  const auto* numbers = reinterpret_cast<const double*>(view.base);
  for (std::size_t first = 0; first < view.rows; first += chunk_rows) {
    const std::size_t rows = std::min(chunk_rows, view.rows - first);
    const double* chunk = numbers + first * view.columns;
    vectors.numbers().insert(vectors.numbers().end(), chunk, chunk + rows * view.columns);
    vectors.end_vectors(rows, view.columns);
    HALQEN_TRY_VOID(signals.advance(rows * view.columns));
  }
  return {};
}

PyResult<void> append_rows(VectorList& vectors, const RowsView& view, SignalPoll& signals) {
  reserve_rows(vectors, view);
  if (view.columns != 0 && view.is_contiguous_doubles()) {
    return append_contiguous_rows(vectors, view, signals);
  }
  for (std::size_t row = 0; row < view.rows; ++row) {
    append_read_items(vectors.numbers(), view.element, view.row(row), view.item_stride,
                      view.columns);
    vectors.end_vector();
    // An empty row still counts, so that many of them are checked too.
    HALQEN_TRY_VOID(signals.advance(std::max<std::size_t>(view.columns, 1)));
  }
  return {};
}

}  // namespace

std::optional<std::vector<double>> read_buffer_vector(PyObject* object) {
  std::vector<double> out;
  if (!append_buffer_vector(object, out)) {
    return std::nullopt;
  }
  return out;
}

bool append_buffer_vector(PyObject* object, std::vector<double>& out) {
  if (!has_trusted_buffer_type(object)) {
    return false;
  }
  BufferView buffer(object);
  if (!buffer.acquired()) {
    return false;
  }
  const Py_buffer& view = buffer.get();
  const std::optional<Element> element = element_of(view.format, view.itemsize);
  if (view.ndim != kVectorDimensions || !element) {
    return false;
  }
  append_read_items(out, *element, static_cast<const char*>(view.buf), view.strides[0],
                    static_cast<std::size_t>(view.shape[0]));
  return true;
}

std::optional<PyResult<void>> append_buffer_rows(PyObject* object, VectorList& vectors,
                                                 SignalPoll& signals) {
  if (!has_trusted_buffer_type(object)) {
    return std::nullopt;
  }
  BufferView buffer(object);
  if (!buffer.acquired()) {
    return std::nullopt;
  }
  const Py_buffer& view = buffer.get();
  const std::optional<Element> element = element_of(view.format, view.itemsize);
  if (view.ndim != kRowsDimensions || !element) {
    return std::nullopt;
  }
  const RowsView rows{*element,
                      static_cast<const char*>(view.buf),
                      static_cast<std::size_t>(view.shape[0]),
                      static_cast<std::size_t>(view.shape[1]),
                      view.strides[0],
                      view.strides[1]};
  return append_rows(vectors, rows, signals);
}

}  // namespace halqen::py
