// The graph walk for searches that admit only some slots (live ones, ones a
// metadata filter accepts): the layer-0 beam still traverses every reachable
// node, but only admitted ones enter the result beam, and the walk goes on
// until the beam holds ef of them or the reachable graph is exhausted. So a
// selective filter or many deletions never make a query come back short
// while matching records exist.
#pragma once

#include <algorithm>
#include <vector>

#include "engine/index/beam_search.h"
#include "engine/index/hnsw_index.h"

namespace kelpo {

// At most k admitted slots nearest to q, ascending, walking the graph with a
// beam of max(ef, k). Callers hold the index's shared lock.
template <class Accept>
std::vector<Neighbor> search_accepting(const HnswIndex& index, const float* q, size_t k, size_t ef,
                                       const Accept& accept) {
  if (k == 0 || index.entry_point() == NO_ENTRY) return {};
  ScratchPool::Lease scratch = index.lease_scratch();
  const DistanceFunction fn(index.metric());
  const QueryDistance dist(q, index.vector_store().data(), index.dim(), fn);
  Slot ep = index.entry_point();
  for (size_t layer = index.max_level(); layer >= 1; --layer) {
    ep = greedy_walk(index.links(), dist, ep, layer, scratch->list.data());
  }
  std::vector<Neighbor> out;
  beam_search(index.links(), 0, dist, ep, dist(ep), std::max(ef, k), accept, *scratch, out);
  if (out.size() > k) out.resize(k);
  return out;
}

}  // namespace kelpo
