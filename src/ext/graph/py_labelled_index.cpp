// The boundary pieces GraphIndex and PartitionIndex share.
#include "ext/graph/py_labelled_index.hpp"

#include <limits>
#include <utility>

#include "common/checked_product.hpp"
#include "graph/row_rules.hpp"
#include "module/released_run.hpp"
#include "parallel/piece_runner.hpp"

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

PyResult<void> check_queries(bool cosine, const VectorList& queries) {
  for (std::size_t q = 0; q < queries.size(); ++q) {
    if (auto refused = graph::check_row(queries.numbers_of(q), cosine, q)) {
      return std::unexpected(value_error(graph::describe_query(*refused)));
    }
  }
  return {};
}

PyResult<std::pair<Ref, Ref>> answer_rows(std::size_t count, bool single, std::size_t k,
                                          const RowFiller& run_query, std::size_t threads,
                                          const CancelEvent* cancel) {
  std::vector<std::size_t> shape = {count, k};
  if (single) shape.erase(shape.begin());
  HALQEN_TRY_ASSIGN(NumpyArray ids, NumpyArray::empty(shape, "int64"));
  HALQEN_TRY_ASSIGN(NumpyArray values, NumpyArray::empty(shape, "float64"));
  const std::span<std::int64_t> id_cells = ids.elements<std::int64_t>();
  const std::span<double> value_cells = values.elements<double>();
  const auto fill = [&](std::size_t q) {
    run_query(q, id_cells.subspan(q * k, k), value_cells.subspan(q * k, k));
  };
  if (count <= 1) {
    WithoutLock unlocked;
    for (std::size_t q = 0; q < count; ++q) fill(q);
  } else {
    const PieceJob job{count, fill};
    HALQEN_TRY_VOID(run_released(job, threads, cancel));
  }
  return std::pair(std::move(ids).release(), std::move(values).release());
}

PyResult<Ref> text_of(std::string_view text) {
  Ref object =
      Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!object) return fetch_error();
  return object;
}

}  // namespace halqen::py
