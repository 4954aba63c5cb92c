// The layer searches and the graph path of search(). The walks themselves are
// in beam_search.h; this file binds them to the full-precision distance.

#include <algorithm>

#include "engine/index/beam_search.h"
#include "engine/index/hnsw_index.h"

namespace kelpo {

Slot HnswIndex::search_layer_single(const float* q, Slot entry, size_t layer) const {
  ScratchPool::Lease scratch = lease_scratch();
  const QueryDistance dist(q, vectors_.data(), dim_, distance_);
  return greedy_walk(links_, dist, entry, layer, scratch->list.data());
}

std::vector<Neighbor> HnswIndex::search_layer(const float* q, Slot entry, size_t ef, size_t layer) const {
  ScratchPool::Lease scratch = lease_scratch();
  const QueryDistance dist(q, vectors_.data(), dim_, distance_);
  std::vector<Neighbor> out;
  beam_search(links_, layer, dist, entry, dist(entry), ef, AcceptAll{}, *scratch, out);
  return out;
}

std::vector<Neighbor> HnswIndex::search(const float* q, size_t k, size_t ef) const {
  if (entry_point() == NO_ENTRY) return {};
  if (uses_brute_force()) return exact_search(q, k);
  return graph_search(q, k, ef);
}

std::vector<Neighbor> HnswIndex::graph_search(const float* q, size_t k, size_t ef) const {
  // The beam below would only be cut to nothing.
  if (k == 0) return {};
  ScratchPool::Lease scratch = lease_scratch();
  const QueryDistance exact(q, vectors_.data(), dim_, distance_);
  const size_t beam = std::max(ef, k);
  const auto [entry, max_level] = top();
  std::vector<Neighbor> candidates;
  if (quantized_) {
    walk_graph(links_, entry, max_level, QuantizedDistance(q, *quantized_), beam, AcceptAll{},
               *scratch, candidates);
  } else {
    walk_graph(links_, entry, max_level, walk_distance(q, vector_norm(q, dim_)), beam, AcceptAll{},
               *scratch, candidates);
  }
  // Deleted slots were walked and kept in the beam like live ones; drop them
  // now, which can leave fewer than k. Over codes every live entry of the
  // beam is kept for the re-ranking.
  const size_t keep = quantized_ ? candidates.size() : k;
  size_t kept = 0;
  for (size_t i = 0; i < candidates.size() && kept < keep; ++i) {
    if (!is_deleted(candidates[i].slot)) candidates[kept++] = candidates[i];
  }
  candidates.resize(kept);
  // A cosine walk measured with cached norms: the k it found are reported
  // with the exact distance (and ordered by it).
  if (quantized_ || metric_ == Metric::kCosine) rerank(candidates, exact, k);
  return candidates;
}

QueryDistance HnswIndex::walk_distance(const float* q, float query_norm) const {
  return QueryDistance::for_walk(q, vectors_.data(), dim_, distance_, norms_.data(), query_norm);
}

}  // namespace kelpo
