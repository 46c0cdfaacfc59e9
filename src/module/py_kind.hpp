// The Python side of an index kind: its class, the module that publishes it,
// and how halqen_ext's batch searches serve it. Each kind's is a
// specialisation of PyKind in its class's header (flat/py_flat.hpp, ...);
// module/py_kinds.hpp checks that every listed kind has one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/search_hit.hpp"
#include "module/cancel_event.hpp"
#include "module/convert.hpp"
#include "module/py_err.hpp"

namespace halqen::py {

// The module that creates a kind's class and lists it in its __all__; the
// other module takes the class from it.
enum class ClassHome { Halqen, HalqenExt };

// The queries of a batch search, converted; and every query's hits.
using BatchQueries = std::vector<std::vector<double>>;
using BatchHits = std::vector<std::vector<SearchHit>>;

// What a batch search passes to a kind: the converted arguments of
// search_batch / search_ids, k defaulted, the worker threads to use, and
// the caller's event that ends the search (module/released_run.hpp).
struct BatchRequest {
  const BatchQueries& queries;
  std::uint64_t k;
  const std::optional<NamedObject>& filter;
  std::optional<std::uint64_t> ef;
  std::size_t threads;
  const CancelEvent* cancel = nullptr;
};

// A method's argument checks as an entry point of their own
// (module/entry.hpp's check_entry): the same parameters, conversions and
// checks as the method, made against the settings of an index of the kind
// instead of an index, so that nothing is built, stored or searched.
template <class Settings>
using CheckFunction = PyResult<void> (*)(const Settings& settings, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames);
template <class Settings>
struct CheckEntry {
  const char* method;
  CheckFunction<Settings> entry;
};

// Specialised per kind with:
//   kName                       the class's name, e.g. "PyFlat"
//   kHome                       the module that publishes it
//   create_type()               a new type object, or null with an error set
//   batch_hits(index, request)  every query's hits, as search finds them, or
//                               the error search would raise
//   BatchAnswer                 what search returns for one query, and
//   batch_answer(index, hits)   that answer built from its hits
//   Settings                    what the constructor makes of its arguments
//                               before it builds an index: all that the
//                               checks of a call read
//   settings(kwargs)            the Settings of constructor keyword
//                               arguments (a dict), refused as the
//                               constructor refuses them
//   checks()                    the argument checks of its methods (and of
//                               search_batch) on Settings, for halqen_dask
template <class Core>
struct PyKind;

}  // namespace halqen::py
