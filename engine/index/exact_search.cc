// The exact (brute-force) path of search(): one pass over the stored vectors
// with a bounded selection of the k nearest, so a query reads each float once
// and allocates only O(k).

#include <algorithm>
#include <cmath>

#include "engine/index/hnsw_index.h"

namespace kelpo {

namespace {

// Keeps the k smallest distances seen: a max-heap of at most k entries. Which
// of several pairs tied at the k-th distance survives is arbitrary.
class TopK {
 public:
  explicit TopK(size_t k, size_t expected) : k_(k) { heap_.reserve(std::min(k, expected)); }

  // Inline, so the common case (the heap is full and d does not beat its
  // farthest) is a compare and a predictable branch.
  void push(Slot s, float d) {
    if (heap_.size() < k_) {
      heap_.push_back({s, d});
      std::push_heap(heap_.begin(), heap_.end(), farther);
    } else if (d < heap_.front().distance) {
      std::pop_heap(heap_.begin(), heap_.end(), farther);
      heap_.back() = {s, d};
      std::push_heap(heap_.begin(), heap_.end(), farther);
    }
  }

  // The kept pairs in ascending distance. They are first put back in slot
  // (scan) order, then stably sorted, so equal distances come out in slot
  // order.
  std::vector<Neighbor> take() {
    std::sort(heap_.begin(), heap_.end(), [](const Neighbor& a, const Neighbor& b) { return a.slot < b.slot; });
    std::stable_sort(heap_.begin(), heap_.end(),
                     [](const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; });
    return std::move(heap_);
  }

 private:
  static bool farther(const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; }

  size_t k_;
  std::vector<Neighbor> heap_;
};

// One pass over n rows with the norm-based formulas. The metric is a template
// parameter so the per-row work is a kernel call and a few flops.
template <Metric M>
void scan_with_norms(const float* q, const float* rows, const float* norms, size_t n, size_t dim, TopK& top) {
  const DistanceFunction dot_kernel(Metric::kDotProduct);  // returns the negated dot
  const float qq = squared_norm(q, dim);
  const float qn = std::sqrt(qq);
  for (size_t r = 0; r < n; ++r) {
    const float dot = -dot_kernel(q, rows + r * dim, dim);
    const float d = batch_distance(M, dot, norms[r], qq, qn);
    top.push(static_cast<Slot>(r), d);
  }
}

}  // namespace

std::vector<Neighbor> HnswIndex::exact_search(const float* q, size_t k) const {
  show_brute_force_hint();
  const Slot n = node_count();
  if (k == 0) return {};
  TopK top(k, n);
  if (deleted_count_ > 0) {
    for (Slot s = 0; s < n; ++s) {
      if (!is_deleted(s)) top.push(s, distance_(q, vector(s), dim_));
    }
    return top.take();
  }
  // The rows are all stored floats / dim; with dim 0 there are none to scan.
  const size_t rows = dim_ == 0 ? 0 : vectors_.size() / dim_;
  switch (metric_) {
    case Metric::kEuclidean:
      scan_with_norms<Metric::kEuclidean>(q, vectors_.data(), norms_.data(), rows, dim_, top);
      break;
    case Metric::kDotProduct:
      scan_with_norms<Metric::kDotProduct>(q, vectors_.data(), norms_.data(), rows, dim_, top);
      break;
    case Metric::kCosine:
      scan_with_norms<Metric::kCosine>(q, vectors_.data(), norms_.data(), rows, dim_, top);
      break;
  }
  return top.take();
}

}  // namespace kelpo
