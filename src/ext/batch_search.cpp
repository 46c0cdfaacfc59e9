#include "ext/batch_search.hpp"

#include <utility>
#include <variant>

namespace halqen::py {
namespace {

template <class Argument>
std::optional<std::uint64_t> value_of(const std::optional<Argument>& argument) {
  return argument ? std::optional<std::uint64_t>(argument->value) : std::nullopt;
}

// The searches any kind answers, as (distance, id) hits per query.
PyResult<BatchHits> batch_hits(const BorrowedIndex& index, const Queries& queries,
                               std::optional<std::uint64_t> k,
                               const std::optional<NamedObject>& filter,
                               std::optional<std::uint64_t> ef, std::optional<ThreadCount> threads,
                               const std::optional<CancelEvent>& cancel) {
  HALQEN_TRY_VOID(check_not_cancelled(cancel));
  const BatchRequest request{.queries = queries,
                             .k = k.value_or(kDefaultSearchK),
                             .filter = filter,
                             .ef = ef,
                             .threads = worker_threads(threads),
                             .cancel = cancel ? &*cancel : nullptr};
  return std::visit(
      [&]<class Core>(const Core* core) { return PyKind<Core>::batch_hits(*core, request); },
      index.index());
}

}  // namespace

PyResult<BatchAnswers> search_batch(const BorrowedIndex& index, QueryList queries,
                                    std::optional<ResultCount> k, std::optional<NamedObject> filter,
                                    std::optional<ThreadCount> threads,
                                    std::optional<CancelEvent> cancel) {
  HALQEN_TRY_ASSIGN(const BatchHits hits, batch_hits(index, queries.rows, value_of(k), filter,
                                                     std::nullopt, threads, cancel));
  return std::visit(
      [&]<class Core>(const Core* core) -> BatchAnswers {
        std::vector<typename PyKind<Core>::BatchAnswer> answers;
        answers.reserve(hits.size());
        for (const std::vector<SearchHit>& query_hits : hits) {
          answers.push_back(PyKind<Core>::batch_answer(*core, query_hits));
        }
        return BatchAnswers(std::in_place_index<kinds::IndexKinds::position<Core>()>,
                            std::move(answers));
      },
      index.index());
}

PyResult<LabelledAnswers> search_labelled(const BorrowedIndex& index, QueryList queries,
                                          std::optional<ResultCount> k,
                                          std::optional<NamedObject> filter,
                                          std::optional<ThreadCount> threads,
                                          std::optional<CancelEvent> cancel) {
  HALQEN_TRY_ASSIGN(const BatchHits hits, batch_hits(index, queries.rows, value_of(k), filter,
                                                     std::nullopt, threads, cancel));
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
        return LabelledAnswers(std::in_place_index<kinds::IndexKinds::position<Core>()>,
                               std::move(answers));
      },
      index.index());
}

PyResult<IdAnswers> search_ids(const BorrowedIndex& index, QueryList queries,
                               std::optional<ResultCount> k, std::optional<NamedObject> filter,
                               std::optional<SearchWidth> ef, std::optional<ThreadCount> threads,
                               std::optional<CancelEvent> cancel) {
  HALQEN_TRY_ASSIGN(const BatchHits hits, batch_hits(index, queries.rows, value_of(k), filter,
                                                     value_of(ef), threads, cancel));
  IdAnswers answers;
  answers.reserve(hits.size());
  for (const std::vector<SearchHit>& query_hits : hits) answers.push_back(flat_hits(query_hits));
  return answers;
}

}  // namespace halqen::py
