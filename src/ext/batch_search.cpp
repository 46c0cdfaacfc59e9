#include "ext/batch_search.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <variant>

#include "parallel/piece_runner.hpp"

namespace halqen::py {
namespace {

// More workers than this per usable CPU only add switching.
constexpr std::size_t kThreadsPerCpu = 4;

template <class Argument>
std::optional<std::uint64_t> value_of(const std::optional<Argument>& argument) {
  return argument ? std::optional<std::uint64_t>(argument->value) : std::nullopt;
}

std::size_t worker_threads(const std::optional<ThreadCount>& threads) {
  const std::size_t cpus = usable_cpu_count();
  return threads ? std::min(threads->value, kThreadsPerCpu * cpus) : cpus;
}

// The searches any kind answers, as (distance, id) hits per query.
PyResult<BatchHits> batch_hits(const BorrowedIndex& index, const Queries& queries,
                               std::optional<std::uint64_t> k,
                               const std::optional<NamedObject>& filter,
                               std::optional<std::uint64_t> ef,
                               std::optional<ThreadCount> threads) {
  const BatchRequest request{.queries = queries,
                             .k = k.value_or(kDefaultSearchK),
                             .filter = filter,
                             .ef = ef,
                             .threads = worker_threads(threads)};
  return std::visit(
      [&]<class Core>(const Core* core) { return PyKind<Core>::batch_hits(*core, request); },
      index.index());
}

}  // namespace

PyResult<ThreadCount> FromPython<ThreadCount>::convert(PyObject* o) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    return fetch_error();
  }
  const long long threads = PyLong_AsLongLong(index.get());
  if (threads == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      return fetch_error();
    }
    PyErr_Clear();
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "argument 'threads': expected an integer from 1 to 2^63 - 1, got %R", index.get()));
    return message ? std::unexpected(PyErr::new_err(PyExc_OverflowError, std::move(message)))
                   : fetch_error();
  }
  if (threads < 1) {
    return std::unexpected(PyErr::new_err(
        PyExc_ValueError, "threads must be at least 1, got " + std::to_string(threads)));
  }
  return ThreadCount{static_cast<std::size_t>(threads)};
}

PyResult<BatchAnswers> search_batch(const BorrowedIndex& index, QueryList queries,
                                    std::optional<ResultCount> k, std::optional<NamedObject> filter,
                                    std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const BatchHits hits,
                    batch_hits(index, queries.rows, value_of(k), filter, std::nullopt, threads));
  return std::visit(
      [&]<class Core>(const Core* core) -> BatchAnswers {
        std::vector<typename PyKind<Core>::BatchAnswer> answers;
        answers.reserve(hits.size());
        for (const std::vector<SearchHit>& query_hits : hits) {
          answers.push_back(PyKind<Core>::batch_answer(*core, query_hits));
        }
        return BatchAnswers(std::in_place_index<io::IndexKinds::position<Core>()>,
                            std::move(answers));
      },
      index.index());
}

PyResult<LabelledAnswers> search_labelled(const BorrowedIndex& index, QueryList queries,
                                          std::optional<ResultCount> k,
                                          std::optional<NamedObject> filter,
                                          std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const BatchHits hits,
                    batch_hits(index, queries.rows, value_of(k), filter, std::nullopt, threads));
  return std::visit(
      [&]<class Core>(const Core* core) -> LabelledAnswers {
        using Item = typename PyKind<Core>::BatchAnswer::value_type;
        std::vector<std::vector<std::pair<std::uint64_t, Item>>> answers(hits.size());
        for (std::size_t q = 0; q < hits.size(); ++q) {
          auto answer = PyKind<Core>::batch_answer(*core, hits[q]);
          answers[q].reserve(answer.size());
          for (std::size_t i = 0; i < answer.size(); ++i) {
            answers[q].emplace_back(hits[q][i].id, std::move(answer[i]));
          }
        }
        return LabelledAnswers(std::in_place_index<io::IndexKinds::position<Core>()>,
                               std::move(answers));
      },
      index.index());
}

PyResult<IdAnswers> search_ids(const BorrowedIndex& index, QueryList queries,
                               std::optional<ResultCount> k, std::optional<NamedObject> filter,
                               std::optional<SearchWidth> ef, std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const BatchHits hits,
                    batch_hits(index, queries.rows, value_of(k), filter, value_of(ef), threads));
  IdAnswers answers;
  answers.reserve(hits.size());
  for (const std::vector<SearchHit>& query_hits : hits) answers.push_back(flat_hits(query_hits));
  return answers;
}

}  // namespace halqen::py
