// Diagnostics read-outs, computed on demand under the shared index lock.
#include <limits>

#include "engine/db/database.h"

namespace kelpo {

DatabaseStats Database::stats() const {
  std::shared_lock<FairSharedMutex> lock(index_mu_);
  // The sizes read below are the arrays' own, which an add beside searches
  // changes.
  std::lock_guard<std::mutex> no_add(index_write_mu_);
  const HnswIndex& index = *index_;
  DatabaseStats st;
  st.num_deleted = index.deleted_count();
  st.memory_quantized_bytes = index.quantized_bytes();
  st.uses_quantized_search = index.quantized_search();
  const Slot n = index.node_count();
  if (n == 0) return st;

  const uint64_t live = index.live_count();
  uint64_t sum = 0, max_degree = 0, min_degree = std::numeric_limits<uint64_t>::max();
  for (Slot s = 0; s < n; ++s) {
    if (index.is_deleted(s)) continue;
    const uint64_t d = index.neighbor_count(s, 0);
    sum += d;
    max_degree = std::max(max_degree, d);
    min_degree = std::min(min_degree, d);
  }
  st.num_vectors = live;
  st.num_layers = index.max_level() + 1;
  st.avg_degree_layer0 = live == 0 ? 0.0 : static_cast<double>(sum) / static_cast<double>(live);
  st.max_degree_layer0 = max_degree;
  st.min_degree_layer0 = live == 0 ? 0 : min_degree;
  st.memory_vectors_bytes = 4 * index.vector_store_floats();
  st.memory_graph_bytes = 4 * index.total_neighbor_entries();
  st.uses_brute_force = live * index.dim() < BRUTE_FORCE_LIMIT;
  return st;
}

size_t Database::total_slots() const {
  std::shared_lock<FairSharedMutex> lock(index_mu_);
  return index_->node_count();
}

size_t Database::deleted_count() const {
  std::shared_lock<FairSharedMutex> lock(index_mu_);
  return index_->deleted_count();
}

}  // namespace kelpo
