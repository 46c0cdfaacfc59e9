#include "ext/batch_search.hpp"

#include <utility>
#include <variant>

namespace halqen::py {
namespace {

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

PyResult<BatchAnswers> search_batch(const BorrowedIndex& index, Queries queries,
                                    std::optional<std::uint64_t> k,
                                    std::optional<NamedObject> filter,
                                    std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const BatchHits hits,
                    batch_hits(index, queries, k, filter, std::nullopt, threads));
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

PyResult<IdAnswers> search_ids(const BorrowedIndex& index, Queries queries,
                               std::optional<std::uint64_t> k, std::optional<NamedObject> filter,
                               std::optional<std::uint64_t> ef,
                               std::optional<ThreadCount> threads) {
  HALQEN_TRY_ASSIGN(const BatchHits hits, batch_hits(index, queries, k, filter, ef, threads));
  IdAnswers answers;
  answers.reserve(hits.size());
  for (const std::vector<SearchHit>& query_hits : hits) answers.push_back(flat_hits(query_hits));
  return answers;
}

}  // namespace halqen::py
