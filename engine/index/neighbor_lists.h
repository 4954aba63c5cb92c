// NeighborLists: the graph's links, one bounded list per node and layer.
//
// Layout. Layer 0 is one flat array with a fixed stride of (1 + m0) words per
// node: a count word followed by m0 slots, so node s's list sits at
// s * (1 + m0) and no pointer is chased to find it. Layers 1 and above exist
// only for the few nodes whose level reaches them: such a node owns `level`
// consecutive blocks of (1 + m) words in a second array, found through its
// block index.
//
// Locking. Each list's count word doubles as its lock: bit 31 is a spin bit,
// the low bits the length. A list is read or changed only with its bit held,
// and a thread never holds two bits at once, so there is no lock order to
// keep. Readers copy the list out under the bit and work on the copy, which
// keeps hold times to a few dozen loads.
//
// Growth. The arrays are kept sized to a node capacity ahead of the node
// count. Growing them (add_nodes beyond the capacity, reserve) reallocates and
// is only legal while no other thread touches the lists (the index's
// exclusive lock). Within the capacity one writer at a time may stage a node
// (stage_node) while other threads read: a staged node's level and lists lie
// beyond the node count, where no reader looks, until publish() moves the
// count past it (a release store; size() is its acquire load).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine/index/index_types.h"

namespace kelpo {

// The arrays of a NeighborLists in its own layout, so a saved graph can be
// read straight into them: layer0 holds levels.size() * (1 + 2m) words (a
// length, then the slots), upper one block of (1 + m) words per upper layer,
// node s's first block at upper_block[s] (meaningful when its level is above 0).
struct NeighborArrays {
  std::vector<uint8_t> levels;
  std::vector<uint32_t> upper_block;
  std::vector<uint32_t> layer0;
  std::vector<uint32_t> upper;
};

class NeighborLists {
 public:
  // Node levels are stored in a byte.
  static constexpr size_t kMaxStoredLevel = 255;

  // m: list capacity on layers 1 and above; layer 0 holds 2 * m.
  explicit NeighborLists(size_t m);

  NeighborLists(const NeighborLists&) = delete;
  NeighborLists& operator=(const NeighborLists&) = delete;

  size_t m() const { return m_; }
  size_t m0() const { return m0_; }
  size_t capacity(size_t layer) const { return layer == 0 ? m0_ : m_; }

  // Number of nodes: every node below it is complete.
  Slot size() const { return count_.load(std::memory_order_acquire); }
  // Nodes the arrays hold room for; changes only under exclusive access.
  size_t node_capacity() const { return levels_.size(); }
  size_t level(Slot s) const { return levels_[s]; }
  bool has_layer(Slot s, size_t layer) const { return layer <= levels_[s]; }

  // Appends `count` nodes with these levels (each at most kMaxStoredLevel)
  // and empty lists, growing the arrays when they lack room, and publishes
  // them at once. Exclusive access only.
  void add_nodes(const uint8_t* levels, size_t count);
  // Room for `nodes` more nodes with `upper_layers` upper lists among them,
  // grown geometrically. Exclusive access only.
  void reserve(size_t nodes, size_t upper_layers);
  // Whether `nodes` more nodes with `upper_layers` upper lists among them
  // can be staged in the arrays as they are.
  bool has_room(size_t nodes, size_t upper_layers) const {
    return staged_ + nodes <= levels_.size() && upper_used_ + upper_layers <= upper_.size() / stride_upper_;
  }
  // Places the next node (number size(), not yet published) with this level
  // and empty lists, without moving any array. Needs has_room(1, level); one
  // writer at a time (the index's writer), readers may run meanwhile.
  Slot stage_node(size_t level);
  // Makes every staged node a node: size() becomes the staged count.
  void publish() { count_.store(static_cast<Slot>(staged_), std::memory_order_release); }

  // Replaces every node and list by these arrays, laid out for this m. The
  // caller has checked them (see HnswIndex::restore). Exclusive access only.
  void adopt(NeighborArrays arrays);

  // Copies list (s, layer) into out, which has room for capacity(layer)
  // slots, under the list's lock; returns its length. The node must have the
  // layer.
  size_t copy(Slot s, size_t layer, Slot* out) const {
    uint32_t* word = list(s, layer);
    const uint32_t n = lock(word);
    const Slot* entries = word + 1;
    for (uint32_t i = 0; i < n; ++i) out[i] = entries[i];
    unlock(word, n);
    return n;
  }

  // Length of list (s, layer), read under its lock.
  size_t count(Slot s, size_t layer) const {
    uint32_t* word = list(s, layer);
    const uint32_t n = lock(word);
    unlock(word, n);
    return n;
  }

  // A hint that list (s, layer) is read next: walks that read several lists
  // at once fetch them together instead of one cache miss after another.
  void prefetch(Slot s, size_t layer) const {
    const char* p = reinterpret_cast<const char*>(list(s, layer));
    __builtin_prefetch(p);
    __builtin_prefetch(p + 64);
  }

  // Runs f(Slot* entries, size_t& length, float* distances) with list
  // (s, layer) locked. f may rewrite the entries and the length, which must
  // stay within capacity(layer), and must not touch any other list.
  // `distances` is null unless the distance cache is on and layer is 0; then
  // distances[i] is entry i's distance from node s, or NaN when not known, and
  // f must keep it in step with the entries.
  template <class F>
  void update(Slot s, size_t layer, F&& f) {
    uint32_t* word = list(s, layer);
    float* distances = layer == 0 && !distance_cache_.empty() ? &distance_cache_[static_cast<size_t>(s) * m0_] : nullptr;
    size_t n = lock(word);
    f(word + 1, n, distances);
    unlock(word, static_cast<uint32_t>(n));
  }

  // The distance cache remembers, for every layer-0 entry, its distance from
  // the list's node, so that pruning a full list measures only the newcomer.
  // It costs 4 * m0 bytes per node while on, so it is switched on only for
  // large batches and off again at their end. Exclusive access only; vectors
  // must not change while it is on.
  void enable_distance_cache();
  void disable_distance_cache();

  // Sum of all list lengths over all layers. Not synchronised with writers.
  uint64_t total_entries() const;
  // Bytes held by the link arrays and per-node bookkeeping.
  uint64_t byte_size() const;

 private:
  static constexpr uint32_t kLockBit = 0x80000000u;

  uint32_t* list(Slot s, size_t layer) const {
    if (layer == 0) return layer0_.data() + static_cast<size_t>(s) * stride0_;
    const size_t block = static_cast<size_t>(upper_block_[s]) + (layer - 1);
    return upper_.data() + block * stride_upper_;
  }

  // Takes the spin bit; returns the list length.
  static uint32_t lock(uint32_t* word) {
    std::atomic_ref<uint32_t> a(*word);
    for (unsigned spins = 0;;) {
      const uint32_t prev = a.fetch_or(kLockBit, std::memory_order_acquire);
      if ((prev & kLockBit) == 0) return prev;
      while (a.load(std::memory_order_relaxed) & kLockBit) {
        // The holder only copies or rewrites a few dozen words, but may have
        // been preempted: back off to the scheduler after a while.
        if (++spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
          __builtin_ia32_pause();
#endif
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  // Publishes the (possibly new) length and drops the spin bit.
  static void unlock(uint32_t* word, uint32_t length) {
    std::atomic_ref<uint32_t>(*word).store(length, std::memory_order_release);
  }

  // Constant after construction.
  const size_t m_;
  const size_t m0_;
  const size_t stride0_;       // 1 + m0
  const size_t stride_upper_;  // 1 + m

  // Grows the arrays to hold `nodes` nodes and `blocks` upper lists in all
  // (never shrinks them). Exclusive access only.
  void grow(size_t nodes, size_t blocks);

  // Sized (to the capacity) under exclusive access; the entries of staged
  // nodes are written by the one writer before publish(). The words of each
  // list are guarded by that list's spin bit (taken by readers too, hence
  // mutable).
  std::vector<uint8_t> levels_;          // one per node of the capacity
  std::vector<uint32_t> upper_block_;    // one per node: first upper block, meaningful when level > 0
  mutable std::vector<uint32_t> layer0_; // capacity * stride0_
  mutable std::vector<uint32_t> upper_;  // (upper lists of the capacity) * stride_upper_
  std::atomic<Slot> count_{0};           // published nodes
  size_t staged_ = 0;                    // nodes placed (>= count_); the writer's
  size_t upper_used_ = 0;                // upper blocks handed out; the writer's
  // size() * m0_ floats while the cache is on, else empty; entry i of node s's
  // layer-0 list at s * m0_ + i, guarded like that list.
  std::vector<float> distance_cache_;
};

}  // namespace kelpo
