#include "engine/index/neighbor_lists.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

namespace kelpo {

NeighborLists::NeighborLists(size_t m) : m_(m), m0_(2 * m), stride0_(1 + 2 * m), stride_upper_(1 + m) {}

void NeighborLists::grow(size_t nodes, size_t blocks) {
  // Block indices are 32-bit; running out of them is as fatal as running out
  // of memory.
  if (blocks > std::numeric_limits<uint32_t>::max()) std::abort();
  if (nodes > levels_.size()) {
    levels_.resize(nodes, 0);
    upper_block_.resize(nodes, 0);
    layer0_.resize(nodes * stride0_, 0);
  }
  if (blocks * stride_upper_ > upper_.size()) upper_.resize(blocks * stride_upper_, 0);
}

void NeighborLists::reserve(size_t nodes, size_t upper_layers) {
  // Geometric, so a stream of single inserts regrows rarely; never less than
  // asked, so one large batch takes exactly what it needs.
  auto ahead = [](size_t have, size_t needed) { return needed <= have ? have : std::max(needed, have + have / 2); };
  grow(ahead(levels_.size(), staged_ + nodes), ahead(upper_.size() / stride_upper_, upper_used_ + upper_layers));
}

Slot NeighborLists::stage_node(size_t level) {
  const size_t s = staged_++;
  levels_[s] = static_cast<uint8_t>(level);
  upper_block_[s] = static_cast<uint32_t>(upper_used_);
  upper_used_ += level;
  return static_cast<Slot>(s);
}

void NeighborLists::add_nodes(const uint8_t* levels, size_t count) {
  size_t new_blocks = 0;
  for (size_t i = 0; i < count; ++i) new_blocks += levels[i];
  reserve(count, new_blocks);
  for (size_t i = 0; i < count; ++i) stage_node(levels[i]);
  publish();
}

void NeighborLists::adopt(NeighborArrays arrays) {
  levels_ = std::move(arrays.levels);
  upper_block_ = std::move(arrays.upper_block);
  layer0_ = std::move(arrays.layer0);
  upper_ = std::move(arrays.upper);
  staged_ = levels_.size();
  upper_used_ = upper_.size() / stride_upper_;
  count_.store(static_cast<Slot>(staged_), std::memory_order_release);
  distance_cache_.clear();
}

void NeighborLists::enable_distance_cache() { distance_cache_.assign(staged_ * m0_, NAN); }

void NeighborLists::disable_distance_cache() {
  distance_cache_.clear();
  distance_cache_.shrink_to_fit();
}

uint64_t NeighborLists::total_entries() const {
  // Concurrent searches flip the spin bits of the words read here, so the
  // words are read atomically; the lengths themselves are stable.
  auto length = [](uint32_t& word) {
    return std::atomic_ref<uint32_t>(word).load(std::memory_order_relaxed) & ~kLockBit;
  };
  // Lists beyond the published nodes are empty or being filled by a writer;
  // only the published ones count.
  const size_t nodes = size();
  uint64_t total = 0;
  size_t blocks = 0;
  for (size_t s = 0; s < nodes; ++s) {
    total += length(layer0_[s * stride0_]);
    blocks = std::max<size_t>(blocks, levels_[s] == 0 ? 0 : upper_block_[s] + levels_[s]);
  }
  for (size_t b = 0; b < blocks; ++b) total += length(upper_[b * stride_upper_]);
  return total;
}

uint64_t NeighborLists::byte_size() const {
  return static_cast<uint64_t>(levels_.size()) * sizeof(uint8_t) +
         static_cast<uint64_t>(upper_block_.size()) * sizeof(uint32_t) +
         static_cast<uint64_t>(layer0_.size() + upper_.size()) * sizeof(uint32_t);
}

}  // namespace kelpo
