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
// Growth (add_nodes) reallocates and is only legal while no other thread
// touches the lists (the index's exclusive lock).
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

  // Number of nodes.
  Slot size() const { return static_cast<Slot>(levels_.size()); }
  size_t level(Slot s) const { return levels_[s]; }
  bool has_layer(Slot s, size_t layer) const { return layer <= levels_[s]; }

  // Appends `count` nodes with these levels (each at most kMaxStoredLevel)
  // and empty lists. Exclusive access only.
  void add_nodes(const uint8_t* levels, size_t count);

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

  // Sized by add_nodes under exclusive access. The words of each list are
  // guarded by that list's spin bit (taken by readers too, hence mutable).
  std::vector<uint8_t> levels_;          // one per node
  std::vector<uint32_t> upper_block_;    // one per node: first upper block, meaningful when level > 0
  mutable std::vector<uint32_t> layer0_; // size() * stride0_
  mutable std::vector<uint32_t> upper_;  // (total upper layers) * stride_upper_
  // size() * m0_ floats while the cache is on, else empty; entry i of node s's
  // layer-0 list at s * m0_ + i, guarded like that list.
  std::vector<float> distance_cache_;
};

}  // namespace kelpo
