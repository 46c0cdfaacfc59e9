// Views of the two cores through their read-out accessors.
#include "io/index_view.hpp"

namespace halqen::io {

FlatView view_of(const FlatIndex& index) {
  return {.dim = index.dim(),
          .metric = index.metric(),
          .count = index.size(),
          .vectors = index.vectors()};
}

HNSWView view_of(const HNSW& index) {
  HNSWView view;
  view.params = &index.params();
  view.count = index.size();
  view.vectors = index.vectors();
  view.levels = index.levels();
  view.neighbors = [&index](std::uint64_t node) { return index.neighbors(node); };
  view.neighbor_count = [&index](std::uint64_t node) { return index.neighbor_count(node); };
  view.record = [&index](std::uint64_t node) { return index.metadata().record(node); };
  return view;
}

}  // namespace halqen::io
