// HnswIndex: the in-memory vector index of one database. It holds every
// slot's vector and norm, a hierarchical navigable small-world graph over the
// slots and the set of deleted slots. It knows nothing of ids or metadata.
//
// Where things live:
//   hnsw_index.cc   construction, accessors, mark_deleted, restore
//   hnsw_build.cc   random_level, insert, batch_insert, connect_node, update_vector
//   hnsw_search.cc  search_layer_single, search_layer, search (graph path)
//   hnsw_quantized.cc enabling, loading and dropping quantized traversal,
//                   the quantized layer walks
//   quantized_search the SQ8 state and the distance measured on it
//   exact_search.cc the brute-force path of search
//   beam_search.h   the layer walks themselves, shared by all of the above
//   neighbor_lists  the links and their per-list spin locks
//   visited_pool.h  pooled per-search scratch (visited marks, heaps)
//   vector_store    the vectors, owned or memory-mapped
//
// Invariants while no operation is in progress:
//   - vectors_ holds node_count() * dim floats; norms_ one entry per node.
//   - when quantized traversal is on, its codes cover every node (dim bytes
//     each, deleted nodes included).
//   - every slot in a neighbour list or in the deleted set is < node_count().
//   - layer-0 lists hold at most m0 slots, higher lists at most m. Lists
//     built here never hold their own node or the same slot twice (restored
//     lists may; nothing relies on it).
//   - live_count() == node_count() - deleted_count().
//   - entry_point_ == NO_ENTRY exactly when there are no nodes; otherwise it
//     names a node whose level equals max_level_.
//
// Thread safety. The owner guards the index with a reader-writer lock:
// searches and read accessors run under it shared, everything that changes
// the index under it exclusively. Inside, each neighbour list has its own
// spin lock (see NeighborLists), which is what lets the parallel phase of
// batch_insert link many nodes at once and lets searches run beside each other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/index/distance.h"
#include "engine/index/index_types.h"
#include "engine/index/neighbor_lists.h"
#include "engine/index/quantized_search.h"
#include "engine/index/vector_store.h"
#include "engine/index/visited_pool.h"
#include "engine/util/error.h"

namespace kelpo {

class QueryDistance;

// Below this many live floats (live vectors * dim) search scans exactly.
inline constexpr size_t BRUTE_FORCE_LIMIT = 10'000'000;
// A batch insert connects this many new nodes in order, the rest in parallel.
inline constexpr size_t PARALLEL_BATCH_THRESHOLD = 128;
// Drawn levels are capped here. The draw is -ln(r) / ln(m) for r in [0, 1);
// r = 0 would give an unbounded level, and no draw with m >= 4 reaches it.
inline constexpr size_t kMaxDrawnLevel = 30;

// A saved graph, flattened, as the graph file lists it (see restore()).
struct GraphSnapshot {
  Slot entry_point = NO_ENTRY;
  uint64_t max_level = 0;
  std::vector<Slot> deleted;
  std::vector<uint32_t> levels;      // one per node
  std::vector<uint32_t> list_sizes;  // per node, per layer 0..level, in node order
  std::vector<Slot> links;           // all lists' entries back to back, same order
};

// A saved graph with its links already in the index's own layout, as the
// graph file's parser produces it (see restore()).
struct SavedLinks {
  Slot entry_point = NO_ENTRY;
  uint64_t max_level = 0;
  std::vector<Slot> deleted;
  NeighborArrays lists;
};

// The inner product the exact scan ranks by (with the cached norms, see
// batch_distance): one fixed order of operations per pair, whichever way a
// scan cuts its work, so batched and single scans agree bit for bit.
float exact_scan_dot(const float* a, const float* b, size_t dim);

class HnswIndex {
 public:
  // An empty index with an Owned store. m0 = 2 * m; level_mult = 1 / ln(m).
  HnswIndex(size_t dim, Metric metric, size_t m, size_t ef_construction);

  // An index over saved parts: the vectors (usually a Mapped store), their
  // norms and the graph. Every slot number is checked against the node count
  // and every list against its capacity; a failure is an io error naming the
  // fault and nothing is kept.
  static Result<std::unique_ptr<HnswIndex>> restore(size_t dim, Metric metric, size_t m, size_t ef_construction,
                                                    VectorStore vectors, std::vector<float> norms,
                                                    const GraphSnapshot& graph);
  // The same over links in the index's layout, which it takes over without a
  // copy after the same checks.
  static Result<std::unique_ptr<HnswIndex>> restore(size_t dim, Metric metric, size_t m, size_t ef_construction,
                                                    VectorStore vectors, std::vector<float> norms, SavedLinks graph);

  HnswIndex(const HnswIndex&) = delete;
  HnswIndex& operator=(const HnswIndex&) = delete;

  // --- parameters (constant) ---
  size_t dim() const { return dim_; }
  Metric metric() const { return metric_; }
  size_t m() const { return links_.m(); }
  size_t m0() const { return links_.m0(); }
  size_t ef_construction() const { return ef_construction_; }
  double level_mult() const { return level_mult_; }

  // --- state ---
  Slot node_count() const { return links_.size(); }
  size_t live_count() const { return live_count_.load(std::memory_order_relaxed); }
  size_t deleted_count() const { return deleted_count_; }
  bool is_deleted(Slot s) const { return (deleted_bits_[s >> 6] >> (s & 63)) & 1; }
  // The deleted slots in ascending order.
  std::vector<Slot> deleted_slots() const;
  size_t max_level() const { return max_level_; }
  Slot entry_point() const { return entry_point_; }
  size_t node_level(Slot s) const { return links_.level(s); }
  // True when search() would scan exactly rather than walk the graph.
  bool uses_brute_force() const { return static_cast<uint64_t>(live_count()) * dim_ < BRUTE_FORCE_LIMIT; }

  // dim floats, whichever form the store has.
  const float* vector(Slot s) const { return vectors_.data() + static_cast<size_t>(s) * dim_; }
  float norm(Slot s) const { return norms_[s]; }
  const std::vector<float>& norms() const { return norms_; }
  const VectorStore& vector_store() const { return vectors_; }

  // --- changes (exclusive lock) ---
  // v holds dim floats (copied). Returns the new slot.
  Slot insert(const float* v);
  // Each vector holds dim floats (copied). Returns the new slots in input
  // order: consecutive numbers from the old node count.
  std::vector<Slot> batch_insert(const std::vector<const float*>& vectors);
  // Replaces slot s's vector and norm and relinks it; its level stays.
  void update_vector(Slot s, const float* v);
  // Adds s to the deleted set (if below the node count and not yet there).
  // Links, vector, norm and the entry point stay.
  void mark_deleted(Slot s);
  // Room for `nodes` more vectors and norms without regrowing (converts a
  // Mapped store to Owned, as any insert would).
  void reserve(size_t nodes);

  // --- quantized traversal (exclusive lock to change) ---
  // Trains a quantizer on every slot's vector (deleted ones included) and
  // codes them all, replacing any earlier state. Does nothing on an empty
  // index. While on, inserts and updates code their vectors with this
  // quantizer (it is never retrained), and graph searches walk the codes and
  // re-rank their final beam on the full vectors.
  void enable_quantized_search();
  // Installs a saved quantizer and its codes. They must fit this index: the
  // quantizer's dim equal to dim() and exactly dim bytes of codes per node;
  // otherwise an io error and nothing changes. Like enabling, does nothing on
  // an empty index.
  Status load_quantized(ScalarQuantizer quantizer, std::vector<uint8_t> codes);
  void disable_quantized_search() { quantized_.reset(); }
  bool quantized_search() const { return quantized_ != nullptr; }
  // nullptr while quantized traversal is off.
  const QuantizedSearch* quantized() const { return quantized_.get(); }
  // 8 * dim + the codes' bytes while on, else 0.
  uint64_t quantized_bytes() const { return quantized_ ? quantized_->bytes() : 0; }

  // --- searches (shared lock) ---
  // At most k live slots nearest to q (dim floats), ascending. Scans exactly
  // while uses_brute_force(), else walks the graph with beam max(ef, k).
  std::vector<Neighbor> search(const float* q, size_t k, size_t ef) const;
  // The exact scan of search() for `count` queries of dim floats each, back to
  // back, in parallel blocks: result i is bit for bit what search() returns
  // for query i while uses_brute_force() holds. Call it only then.
  std::vector<std::vector<Neighbor>> exact_search_many(const float* queries, size_t count, size_t k) const;
  // Greedy walk on one layer from entry.
  Slot search_layer_single(const float* q, Slot entry, size_t layer) const;
  // Beam search on one layer from entry: at most max(ef, 1) slots, deleted
  // ones included, ascending.
  std::vector<Neighbor> search_layer(const float* q, Slot entry, size_t ef, size_t layer) const;

  // The metric between q and slot s's dequantized vector, dequantized into
  // scratch (dim floats). Quantized traversal must be on.
  float quantized_distance(const float* q, Slot s, float* scratch) const;
  // search_layer_single and the layer-0 search_layer, measuring on the codes
  // (approximate distances). Quantized traversal must be on.
  Slot search_layer_single_quantized(const float* q, Slot entry, size_t layer) const;
  std::vector<Neighbor> search_layer_quantized(const float* q, Slot entry, size_t ef) const;

  // --- graph internals, used by construction and by the layer searches ---
  // Links an already stored node into the graph on layers level..0, starting
  // the descent at entry. Takes one list lock at a time, so many run at once.
  void connect_node(Slot slot, size_t level, Slot entry);
  // A level for a new node, from this thread's OS-seeded generator.
  size_t random_level() const;

  // --- statistics and persistence helpers ---
  // 0 / empty when the node has no such layer.
  size_t neighbor_count(Slot s, size_t layer) const;        // under that list's lock
  std::vector<Slot> neighbors(Slot s, size_t layer) const;  // copy, under that list's lock
  uint64_t total_neighbor_entries() const;                  // sum of all list lengths, all layers
  uint64_t vector_store_floats() const { return vectors_.size(); }
  // Bytes held by the graph: link arrays, levels, the deleted bitmap and the
  // pooled search scratch.
  uint64_t graph_bytes() const;

  const NeighborLists& links() const { return links_; }
  // Scratch for one layer search; return it by dropping the lease.
  ScratchPool::Lease lease_scratch() const { return scratch_.acquire(m0()); }

 private:
  friend class HnswIndexTestPeer;

  // connect_node restricted to layers `lowest` and up (the descent to them
  // included).
  void connect_layers(Slot slot, size_t level, Slot entry, size_t lowest);
  // batch_insert with the levels already drawn, one per vector.
  std::vector<Slot> insert_with_levels(const std::vector<const float*>& vectors, const std::vector<uint8_t>& levels);
  // Appends vectors, norms and nodes for new slots (no links). Converts a
  // Mapped store first.
  void append_nodes(const std::vector<const float*>& vectors, const std::vector<uint8_t>& levels);
  // The diversity rule of every list: from `ranked` (count entries in
  // ascending distance from the list's owner) keeps, in order, each entry that
  // is nearer to the owner than to every entry kept before it, at most cap of
  // them. Writes them to out; returns how many.
  size_t select_neighbors(const Neighbor* ranked, size_t count, size_t cap, Neighbor* out) const;
  // Removes slot from the lists of its former neighbours and empties its own.
  void unlink(Slot slot);
  // The exact scan of search().
  std::vector<Neighbor> exact_search(const float* q, size_t k) const;
  // The graph walk of search().
  std::vector<Neighbor> graph_search(const float* q, size_t k, size_t ef) const;
  // The distance walks and construction measure with (QueryDistance::for_walk)
  // from q, whose norm is query_norm.
  QueryDistance walk_distance(const float* q, float query_norm) const;

  // Constant after construction.
  const size_t dim_;
  const Metric metric_;
  const size_t ef_construction_;
  const double level_mult_;
  const DistanceFunction distance_;

  // Changed only under the owner's exclusive lock.
  VectorStore vectors_;                 // node_count() * dim floats
  std::vector<float> norms_;            // one per node
  std::vector<uint64_t> deleted_bits_;  // bit s set <=> s deleted; covers every node
  size_t deleted_count_ = 0;            // bits set in deleted_bits_
  size_t max_level_ = 0;                // level of entry_point_; 0 when empty
  Slot entry_point_ = NO_ENTRY;
  std::atomic<size_t> live_count_{0};   // node_count() - deleted_count_
  std::unique_ptr<QuantizedSearch> quantized_;  // present while quantized traversal is on

  // Node levels and lists: sized under the exclusive lock, list contents
  // guarded by their own spin locks.
  NeighborLists links_;

  // Search scratch, internally locked.
  ScratchPool scratch_;
};

}  // namespace kelpo
