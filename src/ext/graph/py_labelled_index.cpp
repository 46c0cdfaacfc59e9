// The boundary pieces GraphIndex and PartitionIndex share.
#include "ext/graph/py_labelled_index.hpp"

#include <limits>
#include <utility>

#include "common/checked_product.hpp"

namespace halqen::py {
namespace {

// A search's result arrays hold at most this many entries (queries times k).
constexpr std::uint64_t kMostResultEntries = std::uint64_t{1} << 31;
constexpr std::uint64_t kBytesPerResultEntry = sizeof(std::int64_t) + sizeof(double);
constexpr std::uint64_t kLargestDimension = std::numeric_limits<std::int64_t>::max();

}  // namespace

PyErr value_error(std::string message) {
  return PyErr::new_err(PyExc_ValueError, std::move(message));
}

PyErr key_error(std::uint64_t id) {
  Ref key = Ref::steal(PyLong_FromUnsignedLongLong(id));
  if (!key) return fetch_error().error();
  return PyErr::new_err(PyExc_KeyError, std::move(key));
}

PyErr length_error(std::uint64_t dim, std::size_t length, std::size_t vector) {
  return value_error("Expected vector of length " + std::to_string(dim) + ", got " +
                     std::to_string(length) + " (vector " + std::to_string(vector) + ")");
}

PyResult<void> check_lengths(std::uint64_t dim, const VectorList& vectors) {
  const std::size_t matching = vectors.leading_vectors_of_length(dim);
  if (matching < vectors.size()) {
    return std::unexpected(length_error(dim, vectors.length(matching), matching));
  }
  return {};
}

// Rows are padded to any k, so only the size of the result bounds it; for
// no queries at all, what an array's dimension can hold. Refused among the
// arguments, before a cancel event is looked at.
PyResult<void> check_result_size(std::uint64_t queries, std::uint64_t k) {
  const std::optional<std::uint64_t> entries = checked_product(queries, k);
  if (entries && *entries <= kMostResultEntries) {
    if (k <= kLargestDimension) return {};
    return std::unexpected(value_error("k = " + std::to_string(k) +
                                       " is past 2^63 - 1, the largest dimension an array can "
                                       "have: ask for a smaller k"));
  }
  const std::optional<std::uint64_t> bytes =
      entries ? checked_product(*entries, kBytesPerResultEntry) : std::nullopt;
  return std::unexpected(value_error(
      "k = " + std::to_string(k) + " for " + std::to_string(queries) +
      (queries == 1 ? " query" : " queries") + " asks for " +
      (bytes ? std::to_string(*bytes) + " bytes of ids and distances" : "more than 2^64 bytes") +
      ", past the 2^31 (queries times k) entries a search returns: ask for a smaller k or "
      "search fewer queries at once"));
}

PyResult<Ref> text_of(std::string_view text) {
  Ref object =
      Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!object) return fetch_error();
  return object;
}

}  // namespace halqen::py
