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
// beam of max(ef, k). With quantized traversal on, the walk measures on the
// codes and every admitted slot of the final beam is re-ranked on its full
// vector. Callers hold the index's shared lock.
template <class Accept>
std::vector<Neighbor> search_accepting(const HnswIndex& index, const float* q, size_t k, size_t ef,
                                       const Accept& accept) {
  if (k == 0 || index.entry_point() == NO_ENTRY) return {};
  ScratchPool::Lease scratch = index.lease_scratch();
  const DistanceFunction fn(index.metric());
  const QueryDistance exact(q, index.vector_store().data(), index.dim(), fn);
  const size_t beam = std::max(ef, k);
  std::vector<Neighbor> out;
  if (const QuantizedSearch* quantized = index.quantized()) {
    walk_graph(index.links(), index.entry_point(), index.max_level(), QuantizedDistance(q, *quantized),
               beam, accept, *scratch, out);
    rerank(out, exact, k);
    return out;
  }
  walk_graph(index.links(), index.entry_point(), index.max_level(), exact, beam, accept, *scratch, out);
  if (out.size() > k) out.resize(k);
  return out;
}

}  // namespace kelpo
