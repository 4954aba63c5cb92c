// Per-search scratch memory, pooled so that no search allocates or clears
// anything proportional to the node count.
//
// VisitedSet marks nodes with the current epoch instead of clearing a byte
// array per search: starting a search bumps the epoch, and only when the
// 16-bit epoch wraps (every 65535 searches) is the array zeroed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/index/index_types.h"

namespace kelpo {

class VisitedSet {
 public:
  // Room for marks on slots below `nodes`, kept by later begin() calls.
  void reserve(size_t nodes) {
    if (tags_.size() < nodes) tags_.resize(nodes, 0);
  }
  // Starts a new search over `node_count` nodes: no node is marked.
  void begin(size_t node_count) {
    if (tags_.size() < node_count) tags_.resize(node_count, 0);
    if (++epoch_ == 0) {
      std::fill(tags_.begin(), tags_.end(), 0);
      epoch_ = 1;
    }
  }
  // Marks s; returns whether it was already marked in this search.
  bool test_and_mark(Slot s) {
    if (tags_[s] == epoch_) return true;
    tags_[s] = epoch_;
    return false;
  }
  void prefetch(Slot s) const { __builtin_prefetch(tags_.data() + s); }
  uint64_t byte_size() const { return tags_.capacity() * sizeof(uint16_t); }

 private:
  std::vector<uint16_t> tags_;  // tags_[s] == epoch_ <=> s marked in the current search
  uint16_t epoch_ = 0;
};

// Everything one layer search needs besides the index itself.
struct SearchScratch {
  VisitedSet visited;
  std::vector<Neighbor> candidates;  // min-heap on distance
  std::vector<Neighbor> results;     // max-heap on distance
  std::vector<Slot> list;            // copy of the list being scanned
  std::vector<Slot> fresh;           // its entries not yet visited
  std::vector<Neighbor> ranked;      // a layer search's output, for callers that reuse it
  std::vector<Neighbor> pruning;     // a list plus newcomers, ranked while pruning, then the kept ones (3 * m0 + 1)
  std::vector<Neighbor> selected;    // the neighbours a node selects, with their distances
  // A filtered walk's lists for the node it expands: admitted neighbours to
  // measure, stepping stones, neighbours to look through and their lists.
  std::vector<Slot> admitted, stones, through, gathered;
};

// A free list of scratches. A search leases one and returns it when done, so
// a process keeps about one scratch per thread that searches concurrently.
class ScratchPool {
 public:
  class Lease {
   public:
    Lease(const ScratchPool* pool, std::unique_ptr<SearchScratch> s) : pool_(pool), s_(std::move(s)) {}
    Lease(Lease&&) = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      if (s_) pool_->give_back(std::move(s_));
    }
    SearchScratch& operator*() const { return *s_; }
    SearchScratch* operator->() const { return s_.get(); }

   private:
    const ScratchPool* pool_;
    std::unique_ptr<SearchScratch> s_;
  };

  // A scratch whose list buffers hold at least `list_capacity` slots and
  // whose visited marks cover at least `nodes` slots.
  Lease acquire(size_t list_capacity, size_t nodes = 0) const {
    std::unique_ptr<SearchScratch> s;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!free_.empty()) {
        s = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!s) s = std::make_unique<SearchScratch>();
    if (s->list.size() < list_capacity) {
      s->list.resize(list_capacity);
      s->fresh.resize(list_capacity);
      s->pruning.resize(3 * list_capacity + 1);
      s->selected.resize(list_capacity);
    }
    s->visited.reserve(nodes);
    return Lease(this, std::move(s));
  }

  uint64_t byte_size() const {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t total = 0;
    for (const auto& s : free_) {
      total += sizeof(SearchScratch) + s->visited.byte_size() +
               (s->candidates.capacity() + s->results.capacity() + s->ranked.capacity() + s->pruning.capacity()) *
                   sizeof(Neighbor) +
               (s->list.capacity() + s->fresh.capacity()) * sizeof(Slot) +
               s->selected.capacity() * sizeof(Neighbor);
    }
    return total;
  }

 private:
  void give_back(std::unique_ptr<SearchScratch> s) const {
    std::lock_guard<std::mutex> lock(mu_);
    free_.push_back(std::move(s));
  }

  mutable std::mutex mu_;
  mutable std::vector<std::unique_ptr<SearchScratch>> free_;  // guarded by mu_
};

}  // namespace kelpo
