// The two single-layer walks of the graph, written once and parameterised so
// every caller shares them:
//
//   Dist    measures a stored slot against the query: `float operator()(Slot)`
//           and `void prefetch(Slot)` (a hint that the slot is next).
//           QueryDistance below is the full-precision one; a walk over
//           compressed codes supplies its own.
//   Accept  decides which visited slots may enter the result beam:
//           `bool operator()(Slot)`. Every reachable node is still walked;
//           AcceptAll gives the plain beam search.
//
// Ordering rules: plain float comparisons everywhere (a NaN is never less than
// anything), no secondary key.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/index/distance.h"
#include "engine/index/index_types.h"
#include "engine/index/neighbor_lists.h"
#include "engine/index/visited_pool.h"

namespace kelpo {

// Full-precision distance from one query to stored vectors.
class QueryDistance {
 public:
  // The metric's own per-pair function: what results report.
  QueryDistance(const float* query, const float* vectors, size_t dim, const DistanceFunction& fn)
      : query_(query),
        vectors_(vectors),
        dim_(dim),
        fn_(fn),
        prefetch_lines_(std::min<size_t>((dim * 4 + 63) / 64, 8)),
        partial_(fn.metric() == Metric::kEuclidean && dim >= 2 * kPartialChunk) {}

  // exceeds() sums a row this many values (twelve cache lines) at a time.
  // Scanning 12,000-30,000 rows of 784 values for the 10 nearest, chunks of
  // 64, 96, 128, 192 and 256 values ran 0.8-1.2x, 1.0-1.6x, 1.1-1.8x,
  // 1.4-1.9x and 1.2-1.7x as fast as whole rows.
  static constexpr size_t kPartialChunk = 192;

  // For walking the graph. Cosine per pair costs three sums (the inner
  // product and both squared norms) where the stored norms (`norms`, one per
  // slot) and the query's (`query_norm`) leave one: the inner product, which
  // on long vectors is most of a walk's time. It rounds differently from the
  // per-pair kernel (cosine_from_dot), so what a search returns is measured
  // again with the exact function. Other metrics are unchanged.
  static QueryDistance for_walk(const float* query, const float* vectors, size_t dim, const DistanceFunction& fn,
                                const float* norms, float query_norm) {
    if (fn.metric() != Metric::kCosine) return QueryDistance(query, vectors, dim, fn);
    QueryDistance d(query, vectors, dim, DistanceFunction(Metric::kDotProduct));
    d.norms_ = norms;
    d.query_norm_ = query_norm;
    return d;
  }

  float operator()(Slot s) const {
    const float* v = vectors_ + static_cast<size_t>(s) * dim_;
    if (norms_ == nullptr) return fn_(query_, v, dim_);
    return cosine_from_dot(-fn_(query_, v, dim_), query_norm_, norms_[s]);  // fn_ is the negated inner product
  }

  // Whether slot s's distance certainly exceeds `bound`, reading as little of
  // its row as that takes: a scan for the k nearest drops most rows of a
  // large set after their first chunks, and on long rows, which come from
  // memory, the lines it skips are most of its cost. Only the squared
  // Euclidean distance is a sum that never shrinks as values are added, so
  // only it can stop early; for the others, and for rows under two chunks,
  // the answer is false without reading. False also means "not certain":
  // the caller measures the row in full (its first chunks are in cache by
  // then), so what a scan reports is always the full distance.
  bool exceeds(Slot s, float bound) const {
    if (!partial_ || !(bound < std::numeric_limits<float>::infinity())) return false;
    const float* v = vectors_ + static_cast<size_t>(s) * dim_;
    // Each chunk's sum is rounded on its own, so the chunks can add up to a
    // little more than the row's sum taken whole. A float sum of n terms,
    // none negative, is off by at most n units of its last place, twice here;
    // the margin keeps a row whose whole distance is at the bound.
    const double limit = static_cast<double>(bound) * (1.0 + 2.0 * static_cast<double>(dim_) * 0x1p-24);
    double sum = 0;
    for (size_t at = 0; at + kPartialChunk < dim_; at += kPartialChunk) {
      const char* next = reinterpret_cast<const char*>(v + at + kPartialChunk);
      for (size_t line = 0; line < kPartialChunk * sizeof(float) / 64; ++line) __builtin_prefetch(next + 64 * line);
      sum += fn_(query_ + at, v + at, kPartialChunk);
      if (sum > limit) return true;
    }
    return false;
  }

  void prefetch(Slot s) const {
    // The first lines are enough to start the kernel; the hardware prefetcher
    // follows the rest of a long row.
    const char* p = reinterpret_cast<const char*>(vectors_ + static_cast<size_t>(s) * dim_);
    for (size_t i = 0; i < prefetch_lines_; ++i) __builtin_prefetch(p + 64 * i);
  }

 private:
  const float* query_;
  const float* vectors_;
  size_t dim_;
  DistanceFunction fn_;
  size_t prefetch_lines_;
  bool partial_;  // exceeds() may stop early
  const float* norms_ = nullptr;  // set for cosine over cached norms
  float query_norm_ = 0.0f;
};

struct AcceptAll {
  bool operator()(Slot) const { return true; }
};

inline constexpr float kLargestFinite = std::numeric_limits<float>::max();

// Greedy walk on one layer: from `entry`, move to any neighbour strictly
// closer than the best so far, scanning each list to its end, until a whole
// list brings no improvement. Nodes without this layer end the walk. The walk
// never moves to `skip` (a node being relinked, which must not become its own
// starting point). `buffer` holds capacity(layer) slots.
template <class Dist>
Slot greedy_walk(const NeighborLists& links, const Dist& dist, Slot entry, size_t layer, Slot* buffer,
                 Slot skip = NO_ENTRY) {
  Slot cur = entry;
  float best = dist(cur);
  for (;;) {
    if (!links.has_layer(cur, layer)) return cur;
    const size_t n = links.copy(cur, layer, buffer);
    const Slot start = cur;
    for (size_t i = 0; i < n; ++i) {
      if (i + 1 < n) dist.prefetch(buffer[i + 1]);
      if (buffer[i] == skip) continue;
      const float d = dist(buffer[i]);
      if (d < best) {
        best = d;
        cur = buffer[i];
      }
    }
    if (cur == start) return cur;
  }
}

// Beam search on one layer from `entry` (at `entry_distance`) with beam width
// max(ef, 1). Returns, in `out`, the accepted slots of the final beam in
// ascending distance.
//
// The walk pops the nearest unexpanded candidate and stops once the beam
// holds ef accepted entries all closer than it. A visited slot joins the
// candidates when the beam is not yet full or it beats the beam's farthest;
// it joins the beam only if accepted, evicting the farthest beyond ef. With
// AcceptAll a beam that is not full still holds every candidate, so the stop
// rule reduces to "the popped candidate is farther than the beam's farthest".
template <class Dist, class Accept>
void beam_search(const NeighborLists& links, size_t layer, const Dist& dist, Slot entry, float entry_distance,
                 size_t ef, const Accept& accept, SearchScratch& scratch, std::vector<Neighbor>& out) {
  ef = std::max<size_t>(ef, 1);
  auto farther = [](const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; };  // max-heap
  auto nearer = [](const Neighbor& a, const Neighbor& b) { return a.distance > b.distance; };   // min-heap
  std::vector<Neighbor>& candidates = scratch.candidates;
  std::vector<Neighbor>& results = scratch.results;
  candidates.clear();
  results.clear();
  VisitedSet& visited = scratch.visited;
  visited.begin(links.size());
  Slot* list = scratch.list.data();
  Slot* fresh = scratch.fresh.data();

  visited.test_and_mark(entry);
  candidates.push_back({entry, entry_distance});
  if (accept(entry)) results.push_back({entry, entry_distance});

  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), nearer);
    const Neighbor c = candidates.back();
    candidates.pop_back();
    if (results.size() >= ef && c.distance > results.front().distance) break;
    if (!links.has_layer(c.slot, layer)) continue;

    const size_t n = links.copy(c.slot, layer, list);
    for (size_t i = 0; i < n; ++i) visited.prefetch(list[i]);
    size_t unseen = 0;
    for (size_t i = 0; i < n; ++i) {
      if (!visited.test_and_mark(list[i])) fresh[unseen++] = list[i];
    }
    if (unseen > 0) dist.prefetch(fresh[0]);
    for (size_t i = 0; i < unseen; ++i) {
      if (i + 1 < unseen) dist.prefetch(fresh[i + 1]);
      const Slot x = fresh[i];
      const float d = dist(x);
      const float worst = results.empty() ? kLargestFinite : results.front().distance;
      if (d < worst || results.size() < ef) {
        candidates.push_back({x, d});
        std::push_heap(candidates.begin(), candidates.end(), nearer);
        if (accept(x)) {
          results.push_back({x, d});
          std::push_heap(results.begin(), results.end(), farther);
          if (results.size() > ef) {
            std::pop_heap(results.begin(), results.end(), farther);
            results.pop_back();
          }
        }
      }
    }
  }
  std::sort_heap(results.begin(), results.end(), farther);
  out.assign(results.begin(), results.end());
}

// A whole graph query: the greedy descent from the entry point through the
// upper layers, then the layer-0 beam of width ef.
template <class Dist, class Accept>
void walk_graph(const NeighborLists& links, Slot entry_point, size_t max_level, const Dist& dist, size_t ef,
                const Accept& accept, SearchScratch& scratch, std::vector<Neighbor>& out) {
  Slot ep = entry_point;
  for (size_t layer = max_level; layer >= 1; --layer) ep = greedy_walk(links, dist, ep, layer, scratch.list.data());
  beam_search(links, 0, dist, ep, dist(ep), ef, accept, scratch, out);
}

// The end of a walk over approximate distances: every beam entry is measured
// again with `exact`, then the entries are sorted by that distance (stably, so
// the approximate order breaks ties) and cut to k.
template <class Dist>
void rerank(std::vector<Neighbor>& beam, const Dist& exact, size_t k) {
  // The rows are cold (the walk read only codes): fetch a few ahead.
  constexpr size_t kAhead = 4;
  for (size_t i = 0; i < std::min(kAhead, beam.size()); ++i) exact.prefetch(beam[i].slot);
  for (size_t i = 0; i < beam.size(); ++i) {
    if (i + kAhead < beam.size()) exact.prefetch(beam[i + kAhead].slot);
    beam[i].distance = exact(beam[i].slot);
  }
  std::stable_sort(beam.begin(), beam.end(),
                   [](const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; });
  if (beam.size() > k) beam.resize(k);
}

}  // namespace kelpo
