#include "test_hnsw_reference.hpp"

#include <cmath>
#include <queue>
#include <unordered_set>

namespace halqen::testing {
namespace {

bool before(double a, double b) {
  if (std::isnan(a)) {
    return false;
  }
  if (std::isnan(b)) {
    return true;
  }
  return a < b;
}

struct RankAfter {
  bool operator()(const SearchHit& a, const SearchHit& b) const {
    if (before(a.distance, b.distance)) {
      return false;
    }
    if (before(b.distance, a.distance)) {
      return true;
    }
    return a.id > b.id;
  }
};

// Halving search keeping the upper half while the probe is not after d;
// then after the found element if it ranks before d, else at it.
std::size_t insert_position(const std::vector<SearchHit>& list, double d) {
  std::size_t base = 0;
  std::size_t size = list.size();
  while (size > 1) {
    const std::size_t half = size / 2;
    const std::size_t mid = base + half;
    if (!before(d, list[mid].distance)) {
      base = mid;
    }
    size -= half;
  }
  return before(list[base].distance, d) ? base + 1 : base;
}

}  // namespace

ReferenceHNSW::ReferenceHNSW(const HNSWParams& params)
    : schema_(params.schema),
      metric_(metric_function(params.metric)),
      dim_(params.dim),
      layers_(params.layers),
      ef_construction_(params.ef_construction),
      ef_search_(params.ef_search) {
  for (std::uint64_t j = 0; j < layers_; ++j) {
    level_weights_.push_back(std::exp(-static_cast<double>(j)));
  }
}

VectorView ReferenceHNSW::node_vector(std::uint64_t node) const {
  return VectorView(vectors_).subspan(node * dim_, dim_);
}

std::vector<std::uint64_t> ReferenceHNSW::list(std::uint64_t node) const {
  const std::uint64_t begin = neighbor_starts_[node];
  const std::uint64_t end =
      node + 1 < neighbor_starts_.size() ? neighbor_starts_[node + 1] : neighbors_.size();
  return {neighbors_.begin() + begin, neighbors_.begin() + end};
}

std::uint64_t ReferenceHNSW::draw(RandomSource& rng) const {
  double f = 0.0;
  for (const double weight : level_weights_) {
    f += weight;
  }
  const double t = f * uniform_double(rng);
  double s = 0.0;
  for (std::uint64_t i = 0; i < level_weights_.size(); ++i) {
    s += level_weights_[i];
    if (s > t) {
      return i;
    }
  }
  return layers_ - 1;
}

void ReferenceHNSW::add_to_list(std::uint64_t owner, std::uint64_t id) {
  const std::uint64_t position =
      owner + 1 < neighbor_starts_.size() ? neighbor_starts_[owner + 1] : neighbors_.size();
  neighbors_.insert(neighbors_.begin() + position, id);
  for (std::uint64_t later = owner + 1; later < neighbor_starts_.size(); ++later) {
    ++neighbor_starts_[later];
  }
}

std::expected<void, HNSWError> ReferenceHNSW::insert(VectorView vector,
                                                     const MetadataRecord* metadata,
                                                     RandomSource& rng) {
  // The node count is kept explicitly (levels_), so dimension 0 works.
  const bool first = levels_.empty();
  const std::uint64_t l = first ? layers_ - 1 : draw(rng);
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  levels_.push_back(l);
  deleted_.push_back(false);
  neighbor_starts_.push_back(neighbors_.size());
  records_.push_back(metadata != nullptr ? std::optional(*metadata) : std::nullopt);
  if (first) {
    return {};
  }
  const std::uint64_t q = levels_.size() - 1;
  std::uint64_t e = 0;
  for (std::uint64_t j = 0; j < layers_; ++j) {
    if (j < l) {
      const auto r = knn(e, vector, 1, j, nullptr);
      if (!r) {
        return std::unexpected(r.error());
      }
      e = (*r)[0].id;
      continue;
    }
    const auto r = knn(e, vector, ef_construction_, j, nullptr);
    if (!r) {
      return std::unexpected(r.error());
    }
    for (const SearchHit& hit : *r) {
      if (hit.id >= neighbor_starts_.size()) {
        return std::unexpected(HNSWError::InvalidNodeID);
      }
      add_to_list(hit.id, q);
    }
    for (const SearchHit& hit : *r) {
      neighbors_.push_back(hit.id);
    }
    e = q;
  }
  return {};
}

std::expected<void, HNSWError> ReferenceHNSW::create(std::span<const std::vector<double>> vectors,
                                                     std::span<const MetadataRecord> metadata,
                                                     RandomSource& rng) {
  if (vectors.empty()) {
    return std::unexpected(HNSWError::EmptyVectors);
  }
  if (schema_ && metadata.size() != vectors.size()) {
    return std::unexpected(HNSWError::AttributeNotFound);
  }
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    const auto r = insert(vectors[i], schema_ ? &metadata[i] : nullptr, rng);
    if (!r) {
      return r;
    }
  }
  return {};
}

bool ReferenceHNSW::matches(const Filter& filter, std::size_t attribute, std::uint64_t node) const {
  const std::optional<MetadataRecord>& record = records_[node];
  return record && attribute < record->size() && (*filter.predicate)((*record)[attribute]);
}

std::expected<std::vector<SearchHit>, HNSWError> ReferenceHNSW::knn(std::uint64_t seed,
                                                                    VectorView query,
                                                                    std::uint64_t ef,
                                                                    std::uint64_t layer,
                                                                    const Filter* filter) const {
  if (ef == 0) {
    return std::unexpected(HNSWError::InvalidEF);
  }
  if (layer >= layers_) {
    return std::unexpected(HNSWError::InvalidLayer);
  }
  std::size_t a = 0;
  if (filter != nullptr) {
    if (!schema_) {
      return std::unexpected(HNSWError::NoSchema);
    }
    if (schema_->empty()) {
      return std::unexpected(HNSWError::EmptySchema);
    }
    a = schema_->size();
    for (std::size_t i = 0; i < schema_->size() && a == schema_->size(); ++i) {
      if ((*schema_)[i] == filter->attribute) {
        a = i;
      }
    }
    if (a == schema_->size()) {
      return std::unexpected(HNSWError::AttributeNotFound);
    }
  }
  const double d = metric_(query, node_vector(seed));
  std::vector<SearchHit> results{{d, seed}};
  std::priority_queue<SearchHit, std::vector<SearchHit>, RankAfter> queue;
  queue.push({d, seed});
  std::unordered_set<std::uint64_t> visited{seed};
  while (!queue.empty()) {
    const SearchHit c = queue.top();
    queue.pop();
    if (before(results.back().distance, c.distance)) {
      break;
    }
    for (const std::uint64_t x : list(c.id)) {
      if (levels_[x] < layer) {
        continue;
      }
      if (filter != nullptr && !matches(*filter, a, x)) {
        continue;
      }
      if (!visited.insert(x).second) {
        continue;
      }
      const double dx = metric_(query, node_vector(x));
      if (results.size() < ef || dx < results.back().distance) {
        queue.push({dx, x});
        results.insert(results.begin() + static_cast<std::ptrdiff_t>(insert_position(results, dx)),
                       SearchHit{dx, x});
        if (results.size() > ef) {
          results.pop_back();
        }
      }
    }
  }
  return results;
}

std::expected<std::vector<SearchHit>, HNSWError> ReferenceHNSW::search(VectorView query,
                                                                       std::uint64_t k,
                                                                       const Filter* filter) const {
  if (levels_.empty()) {
    return std::vector<SearchHit>{};
  }
  std::uint64_t e = 0;
  for (std::uint64_t j = layers_ - 1; j >= 1; --j) {
    const auto r = knn(e, query, 1, j, filter);
    if (!r) {
      return std::unexpected(r.error());
    }
    const std::uint64_t x = (*r)[0].id;
    if (deleted_[x]) {
      break;
    }
    e = x;
  }
  const auto r = knn(e, query, ef_search_, 0, filter);
  if (!r) {
    return std::unexpected(r.error());
  }
  std::vector<SearchHit> output;
  for (const SearchHit& hit : *r) {
    if (output.size() == k) {
      break;
    }
    if (!deleted_[hit.id]) {
      output.push_back(hit);
    }
  }
  return output;
}

}  // namespace halqen::testing
