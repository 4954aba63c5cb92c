#include "engine/index/neighbor_lists.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

namespace kelpo {

NeighborLists::NeighborLists(size_t m) : m_(m), m0_(2 * m), stride0_(1 + 2 * m), stride_upper_(1 + m) {}

void NeighborLists::add_nodes(const uint8_t* levels, size_t count) {
  size_t upper_blocks = upper_.size() / stride_upper_;
  size_t new_blocks = 0;
  for (size_t i = 0; i < count; ++i) new_blocks += levels[i];
  // Block indices are 32-bit; running out of them is as fatal as running out
  // of memory.
  if (upper_blocks + new_blocks > std::numeric_limits<uint32_t>::max()) std::abort();

  const size_t old = levels_.size();
  levels_.insert(levels_.end(), levels, levels + count);
  upper_block_.resize(old + count, 0);
  layer0_.resize((old + count) * stride0_, 0);
  upper_.resize((upper_blocks + new_blocks) * stride_upper_, 0);
  for (size_t i = 0; i < count; ++i) {
    if (levels[i] == 0) continue;
    upper_block_[old + i] = static_cast<uint32_t>(upper_blocks);
    upper_blocks += levels[i];
  }
}

void NeighborLists::adopt(NeighborArrays arrays) {
  levels_ = std::move(arrays.levels);
  upper_block_ = std::move(arrays.upper_block);
  layer0_ = std::move(arrays.layer0);
  upper_ = std::move(arrays.upper);
  distance_cache_.clear();
}

void NeighborLists::enable_distance_cache() { distance_cache_.assign(levels_.size() * m0_, NAN); }

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
  uint64_t total = 0;
  for (size_t i = 0; i < layer0_.size(); i += stride0_) total += length(layer0_[i]);
  for (size_t i = 0; i < upper_.size(); i += stride_upper_) total += length(upper_[i]);
  return total;
}

uint64_t NeighborLists::byte_size() const {
  return static_cast<uint64_t>(levels_.size()) * sizeof(uint8_t) +
         static_cast<uint64_t>(upper_block_.size()) * sizeof(uint32_t) +
         static_cast<uint64_t>(layer0_.size() + upper_.size()) * sizeof(uint32_t);
}

}  // namespace kelpo
