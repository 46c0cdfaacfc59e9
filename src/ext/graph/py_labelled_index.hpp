// What the classes of indexes that keep the caller's ids in slots
// (GraphIndex, PartitionIndex) share at the boundary: their errors, the
// checks of vectors and result sizes, and their ids and rows given out as
// numpy arrays. `Core` has dim(), size(), slot_count(), is_free(slot),
// id_of(slot), slot_of(id) and copy_vector(slot, out).
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "module/cancel_event.hpp"
#include "module/numpy_array.hpp"
#include "module/py_err.hpp"
#include "module/vector_list.hpp"

namespace halqen::py {

// The interpreter lock given up for one scope.
class WithoutLock {
 public:
  WithoutLock() : thread_(PyEval_SaveThread()) {}
  WithoutLock(const WithoutLock&) = delete;
  WithoutLock& operator=(const WithoutLock&) = delete;
  ~WithoutLock() { PyEval_RestoreThread(thread_); }

 private:
  PyThreadState* thread_;
};

PyErr value_error(std::string message);
// KeyError whose argument is the id, as a dict's.
PyErr key_error(std::uint64_t id);
// The first vector of `vectors` not of `dim` numbers, named.
PyResult<void> check_lengths(std::uint64_t dim, const VectorList& vectors);
PyErr length_error(std::uint64_t dim, std::size_t length, std::size_t vector);
// Refuses a search of `queries` whose answers would pass 2^31 entries, or
// whose k is past an array's largest dimension.
PyResult<void> check_result_size(std::uint64_t queries, std::uint64_t k);
PyResult<Ref> text_of(std::string_view text);
// Queries held to the rules added vectors follow: finite, and under the
// cosine a squared norm above 0.
PyResult<void> check_queries(bool cosine, const VectorList& queries);

// Answers of `count` queries as (ids, values) arrays of shape (count, k),
// or (k,) for a single query: run_query(q, ids, values) fills query q's
// row. One query runs on the calling thread without the interpreter lock;
// several on `threads` workers, a query per piece (workers look for a stop
// request before each query, not only after several, whose time a busy
// machine stretches many times over), ended by Ctrl-C or `cancel`.
using RowFiller =
    std::function<void(std::size_t query, std::span<std::int64_t> ids, std::span<double> values)>;
PyResult<std::pair<Ref, Ref>> answer_rows(std::size_t count, bool single, std::size_t k,
                                          const RowFiller& run_query, std::size_t threads,
                                          const CancelEvent* cancel);

// The slots of ids; an unknown id is a KeyError naming it.
template <class Core>
PyResult<std::vector<std::uint32_t>> slots_of(const Core& index,
                                              const std::vector<std::uint64_t>& ids) {
  std::vector<std::uint32_t> slots;
  slots.reserve(ids.size());
  for (const std::uint64_t id : ids) {
    const std::optional<std::uint32_t> slot = index.slot_of(id);
    if (!slot) return std::unexpected(key_error(id));
    slots.push_back(*slot);
  }
  return slots;
}

// The slots' vectors as an array of shape (slots, dim) of Cell.
template <class Cell, class Core>
PyResult<Ref> vectors_of(const Core& index, const std::vector<std::uint32_t>& slots,
                         const char* dtype) {
  const std::array<std::size_t, 2> shape = {slots.size(), index.dim()};
  HALQEN_TRY_ASSIGN(NumpyArray rows, NumpyArray::empty(shape, dtype));
  const std::span<Cell> cells = rows.template elements<Cell>();
  std::vector<double> row(index.dim());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    index.copy_vector(slots[i], row.data());
    std::ranges::transform(row, cells.begin() + static_cast<std::ptrdiff_t>(i * index.dim()),
                           [](double x) { return static_cast<Cell>(x); });
  }
  return std::move(rows).release();
}

// The live slots' ids, in slot order, as a 1-D int64 array.
template <class Core>
PyResult<Ref> id_array(const Core& index) {
  const std::array<std::size_t, 1> shape = {index.size()};
  HALQEN_TRY_ASSIGN(NumpyArray array, NumpyArray::empty(shape, "int64"));
  const std::span<std::int64_t> cells = array.template elements<std::int64_t>();
  std::size_t next = 0;
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (!index.is_free(slot)) cells[next++] = static_cast<std::int64_t>(index.id_of(slot));
  }
  return std::move(array).release();
}

// The same as a list of ints: what iterating over the index goes through.
template <class Core>
PyResult<Ref> id_list(const Core& index) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return fetch_error();
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (index.is_free(slot)) continue;
    Ref id = Ref::steal(PyLong_FromUnsignedLongLong(index.id_of(slot)));
    if (!id || PyList_Append(list.get(), id.get()) != 0) return fetch_error();
  }
  return list;
}

}  // namespace halqen::py
