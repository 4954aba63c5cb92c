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
// the index under it exclusively, with one exception: insert_beside_searches
// adds a node under the shared lock, one such writer at a time (the owner
// serialises them), while searches run. It relies on:
//   - room reserved ahead: it moves no array (vectors, norms, levels, lists,
//     deleted bits, codes); when one is full it refuses, and the owner
//     inserts under the exclusive lock, which grows them geometrically;
//   - the node count, published with a release store once the node's vector,
//     norm, code, level and own lists are in place; readers load it with
//     acquire and read rows, norms and bits only below it;
//   - the back-links made after that, each under its list's lock, so a
//     reader reaches the node only through a list that was unlocked after
//     the node was complete;
//   - the entry point and top level, one atomic word published after the
//     back-links, so a reader never sees a level without its entry;
//   - search scratch sized to the node capacity, so a node published after a
//     walk began is still within its visited marks.
// Inside, each neighbour list has its own spin lock (see NeighborLists),
// which is what lets the parallel phase of batch_insert link many nodes at
// once and lets searches run beside each other and beside that writer.
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

// For tests: out[a * nr + j] = dot(query a, row j) (queries and rows dim
// floats apart) by each kernel this processor runs, the portable one first
// and the one exact_scan_dot uses last.
std::vector<std::vector<float>> exact_scan_dots_by_kernel(const float* q, size_t nq, const float* rows, size_t nr,
                                                          size_t dim);

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
  size_t max_level() const { return static_cast<size_t>(top_.load(std::memory_order_acquire) >> 32); }
  Slot entry_point() const { return static_cast<Slot>(top_.load(std::memory_order_acquire)); }
  // The entry point and the top level from one load, as a walk must take
  // them: an insert beside the walk may move both.
  struct Top {
    Slot entry;
    size_t level;
  };
  Top top() const {
    const uint64_t t = top_.load(std::memory_order_acquire);
    return {static_cast<Slot>(t), static_cast<size_t>(t >> 32)};
  }
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
  // Room for `nodes` more nodes (vectors, norms, lists, codes) without
  // regrowing (converts a Mapped store to Owned, as any insert would).
  void reserve(size_t nodes);
  // Nodes the arrays hold room for (changes only under the exclusive lock).
  size_t node_capacity() const { return links_.node_capacity(); }

  // --- the insert that runs beside searches ---
  // Whether insert_beside_searches can place nodes of these levels, one
  // after another, without growing any array.
  bool has_room(const std::vector<uint8_t>& levels) const;
  // Inserts v (dim floats, copied) as slot node_count() with this level
  // (from random_level()) while searches run under the shared lock. Needs
  // has_room({level}); one caller at a time, and none beside the exclusive
  // changes. Returns the new slot.
  Slot insert_beside_searches(const float* v, size_t level);
  // batch_insert with the levels already drawn (by random_level()), one per
  // vector: the exclusive form of the above, growing whatever lacks room.
  std::vector<Slot> batch_insert(const std::vector<const float*>& vectors, const std::vector<uint8_t>& levels) {
    return insert_with_levels(vectors, levels);
  }

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
  // Scratch for one layer search; return it by dropping the lease. Its
  // visited marks cover the node capacity: a node published while a walk
  // runs may be reached by it.
  ScratchPool::Lease lease_scratch() const { return scratch_.acquire(m0(), node_capacity()); }

 private:
  friend class HnswIndexTestPeer;

  // The lists a node chose on each layer, for links back to it made later.
  struct ChosenLinks {
    std::vector<std::vector<Slot>> per_layer;  // [layer]
  };
  // connect_node restricted to layers `lowest` and up (the descent to them
  // included). With `later`, the node's own lists are filled but the links
  // back to it are left to link_back (the node stays unreachable).
  void connect_layers(Slot slot, size_t level, Slot entry, size_t lowest, ChosenLinks* later = nullptr);
  // Adds slot to the list (s, layer) of each chosen s, pruning full ones.
  void link_back(Slot slot, size_t layer, const Slot* chosen, size_t count, SearchScratch& scratch);
  // Publishes entry point and top level together.
  void set_top(Slot entry, size_t level) {
    top_.store((static_cast<uint64_t>(level) << 32) | entry, std::memory_order_release);
  }
  // Room in the vectors, norms, codes and deleted bits for `nodes` more.
  bool rows_have_room(size_t nodes) const;
  // Grows vectors, norms, codes and deleted bits for `nodes` more
  // (geometrically). Exclusive.
  void reserve_rows(size_t nodes);
  // Appends v's row, norm and code (no links, no count). Needs room.
  void append_row(const float* v);
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

  // Changed under the owner's exclusive lock, except that the writer of
  // insert_beside_searches appends within the reserved room (moving
  // nothing) beyond the published node count.
  VectorStore vectors_;                 // node_count() * dim floats
  std::vector<float> norms_;            // one per node
  std::vector<uint64_t> deleted_bits_;  // bit s set <=> s deleted; covers the node capacity
  size_t deleted_count_ = 0;            // bits set in deleted_bits_
  // Entry point (low 32 bits, NO_ENTRY when empty) and the top level, its
  // level (high 32 bits, 0 when empty): one word, so they change together.
  std::atomic<uint64_t> top_{NO_ENTRY};
  std::atomic<size_t> live_count_{0};   // node_count() - deleted_count_
  std::unique_ptr<QuantizedSearch> quantized_;  // present while quantized traversal is on

  // Node levels and lists: sized under the exclusive lock, list contents
  // guarded by their own spin locks; the node count is published here.
  NeighborLists links_;

  // Search scratch, internally locked.
  ScratchPool scratch_;
};

}  // namespace kelpo
