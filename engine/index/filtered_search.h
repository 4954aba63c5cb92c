// Graph walks for searches that admit only some slots (live ones, ones a
// metadata filter accepts).
//
// search_accepting: the layer-0 beam traverses every reachable node, but only
// admitted ones enter the result beam, and the walk goes on until the beam
// holds ef of them or the reachable graph is exhausted. Right for admitting
// almost everything (deletions); slow when the admitted nodes are few or lie
// beyond non-admitted ones, since it measures every node it passes.
//
// search_filtered: the predicate-aware walk for metadata filters. Expanding a
// node takes its admitted neighbours directly and looks through each
// non-admitted neighbour to that node's own admitted neighbours (two hops),
// measuring only admitted nodes; so the walk moves through the admitted
// records even where they are sparse or separated by others, instead of
// crossing the others node by node. Until the beam holds k admitted nodes the
// walk also keeps the non-admitted neighbours it looked through as stepping
// stones, so a query whose own neighbourhood admits nothing still travels to
// the nearest admitted records, and a filter matching at least k reachable
// records still gets k hits.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "engine/index/beam_search.h"
#include "engine/index/hnsw_index.h"

namespace kelpo {

// At most k admitted slots nearest to q, ascending, walking the graph with a
// beam of max(ef, k). With quantized traversal on, the walk measures on the
// codes and every admitted slot of the final beam is re-ranked on its full
// vector. Callers hold the index's shared lock.
template <class Accept>
std::vector<Neighbor> search_accepting(const HnswIndex& index, const float* q, size_t k, size_t ef,
                                       const Accept& accept) {
  const HnswIndex::Top top = index.top();
  if (k == 0 || top.entry == NO_ENTRY) return {};
  ScratchPool::Lease scratch = index.lease_scratch();
  const DistanceFunction fn(index.metric());
  const QueryDistance exact(q, index.vector_store().data(), index.dim(), fn);
  const size_t beam = std::max(ef, k);
  std::vector<Neighbor> out;
  if (const QuantizedSearch* quantized = index.quantized()) {
    walk_graph(index.links(), top.entry, top.level, QuantizedDistance(q, *quantized),
               beam, accept, *scratch, out);
    rerank(out, exact, k);
    return out;
  }
  walk_graph(index.links(), top.entry, top.level, exact, beam, accept, *scratch, out);
  if (out.size() > k) out.resize(k);
  return out;
}

// Tells `accept` (when it can take the hint) that slot s is tested next.
template <class Accept>
void prefetch_accept(const Accept& accept, Slot s) {
  if constexpr (requires { accept.prefetch(s); }) accept.prefetch(s);
}

// What a filtered walk has done so far: nodes measured, lists read and slots
// tested against the filter.
struct WalkEffort {
  size_t measured = 0;
  size_t lists = 0;
  size_t tests = 0;
  // The share of the query's layer-0 neighbourhood the filter admits, once
  // probed (see neighbourhood_share); negative before.
  double near_share = -1;
};

// Never stops a walk.
struct NoBudget {
  bool operator()(const WalkEffort&) const { return true; }
};

// One layer of search_filtered, from `entries` (slots with their distances). `share` is the estimated
// share of the records `accept` admits. Puts the admitted slots of the final
// beam (at most ef) in ascending distance into `out` and returns true; or
// returns false as soon as within(effort, which accumulates over the layers)
// is false after an expansion (`out` is then unspecified).
template <class Dist, class Accept, class Budget>
bool filtered_beam(const NeighborLists& links, size_t layer, const Dist& dist, const std::vector<Neighbor>& entries,
                   size_t k, size_t ef, double share, const Accept& accept, const Budget& within, WalkEffort& effort,
                   SearchScratch& scratch, std::vector<Neighbor>& out) {
  ef = std::max<size_t>({ef, k, 1});
  auto farther = [](const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; };  // max-heap
  auto nearer = [](const Neighbor& a, const Neighbor& b) { return a.distance > b.distance; };   // min-heap
  std::vector<Neighbor>& candidates = scratch.candidates;
  std::vector<Neighbor>& results = scratch.results;
  candidates.clear();
  results.clear();
  VisitedSet& visited = scratch.visited;
  visited.begin(links.size());
  const size_t m0 = links.capacity(layer);
  Slot* list = scratch.list.data();
  // The nodes to measure (admitted ones, then stepping stones), the
  // non-admitted neighbours to look through, and the lists looked through.
  std::vector<Slot>& admitted = scratch.admitted;
  std::vector<Slot>& stones = scratch.stones;
  std::vector<Slot>& through = scratch.through;
  std::vector<Slot>& gathered = scratch.gathered;
  admitted.reserve(m0);
  stones.reserve(m0);
  through.reserve(m0);
  gathered.reserve(m0 * m0);
  auto offer = [&](Slot x, float d, bool admit) {
    const float worst = results.empty() ? kLargestFinite : results.front().distance;
    if (!(d < worst || results.size() < ef)) return;
    candidates.push_back({x, d});
    std::push_heap(candidates.begin(), candidates.end(), nearer);
    if (!admit) return;
    results.push_back({x, d});
    std::push_heap(results.begin(), results.end(), farther);
    if (results.size() > ef) {
      std::pop_heap(results.begin(), results.end(), farther);
      results.pop_back();
    }
  };

  // Admitted nodes this walk has reached from its entries. Entries do not
  // count: admitted entry points found on another layer may lie beyond the
  // admitted records nearest to the query, which only the stepping stones
  // around the query's own neighbourhood lead to.
  size_t reached = 0;
  for (const Neighbor& entry : entries) {
    if (!visited.test_and_mark(entry.slot)) offer(entry.slot, entry.distance, accept(entry.slot));
  }

  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), nearer);
    const Neighbor c = candidates.back();
    candidates.pop_back();
    if (results.size() >= ef && c.distance > results.front().distance) break;

    // Until it has reached k admitted nodes the walk also measures the
    // non-admitted neighbours it looks through and keeps them as stepping
    // stones, so it can cross a region that admits nothing.
    const bool stepping = reached < k;
    admitted.clear();
    stones.clear();
    through.clear();
    const size_t n = links.copy(c.slot, layer, list);
    effort.lists += 1;
    effort.tests += n;
    for (size_t i = 0; i < n; ++i) {
      visited.prefetch(list[i]);
      prefetch_accept(accept, list[i]);
    }
    // A node's admitted neighbourhood is its admitted neighbours, then those
    // of its non-admitted ones (nearest first), up to one and a half times its
    // own list: about the degree a walk over the admitted records needs to
    // stay connected (measured: at 1x recall falls to 0.97-0.99 at 10% selectivity,
    // at 1.5x it holds at 0.99-1.0). Admitted nodes already visited count
    // too, so a node whose neighbourhood the walk has seen costs little,
    // instead of being searched ever wider for fresh matches.
    const size_t fill = (3 * n + 1) / 2;
    size_t found = 0;
    for (size_t i = 0; i < n; ++i) {
      const Slot x = list[i];
      if (accept(x)) {
        ++found;
        if (!visited.test_and_mark(x)) admitted.push_back(x);
      } else {
        through.push_back(x);
      }
    }
    // Looking through a neighbour costs a cache miss on its list and one per
    // entry tested, which dominate the walk when taken one after another: so
    // the lists expected to complete the neighbourhood are fetched together,
    // then their entries' metadata together, and only then tested. A
    // neighbour is marked only once looked through (or kept as a stone), so
    // one left over now can still be looked through from another node.
    const double per_list = std::max(share, 0.01) * static_cast<double>(n);
    size_t next = 0;
    while (next < through.size() && found < fill) {
      const double lists = std::ceil(static_cast<double>(fill - found) / std::max(1.0, per_list));
      const size_t first = next;
      const size_t end = std::min(through.size(), next + static_cast<size_t>(lists));
      for (; next < end; ++next) {
        if (visited.test_and_mark(through[next])) {
          through[next] = NO_ENTRY;
        } else {
          links.prefetch(through[next], layer);
        }
      }
      gathered.clear();
      for (size_t i = first; i < end; ++i) {
        if (through[i] == NO_ENTRY) continue;
        if (stepping) stones.push_back(through[i]);
        const size_t h = links.copy(through[i], layer, list);  // the node's own list is no longer needed
        gathered.insert(gathered.end(), list, list + h);
        effort.lists += 1;
      }
      for (const Slot y : gathered) {
        visited.prefetch(y);
        prefetch_accept(accept, y);
      }
      for (size_t i = 0; i < gathered.size() && found < fill; ++i) {
        ++effort.tests;
        // Only admitted nodes are marked here: one that is not may still be
        // looked through later, from a node it neighbours directly.
        if (accept(gathered[i])) {
          ++found;
          if (!visited.test_and_mark(gathered[i])) admitted.push_back(gathered[i]);
        }
      }
    }
    if (stepping) {
      for (; next < through.size(); ++next) {
        if (!visited.test_and_mark(through[next])) stones.push_back(through[next]);
      }
    }
    for (size_t i = 0; i < admitted.size(); ++i) {
      if (i + 1 < admitted.size()) dist.prefetch(admitted[i + 1]);
      offer(admitted[i], dist(admitted[i]), true);
    }
    for (size_t i = 0; i < stones.size(); ++i) {
      if (i + 1 < stones.size()) dist.prefetch(stones[i + 1]);
      offer(stones[i], dist(stones[i]), false);
    }
    reached += admitted.size();
    effort.measured += admitted.size() + stones.size();
    if (!within(effort)) return false;
  }
  std::sort_heap(results.begin(), results.end(), farther);
  out.assign(results.begin(), results.end());
  return true;
}

// The share of the slots `accept` admits among `entry`'s layer-0 neighbours
// and their own neighbours (repeats counted), i.e. how the filter treats the
// query's neighbourhood once the descent has reached it. Adds its reads and
// tests to `effort`.
template <class Accept>
double neighbourhood_share(const NeighborLists& links, Slot entry, const Accept& accept, WalkEffort& effort,
                           SearchScratch& scratch) {
  std::vector<Slot>& near = scratch.stones;  // free until the layer-0 walk
  near.resize(links.capacity(0));
  near.resize(links.copy(entry, 0, near.data()));
  for (const Slot x : near) links.prefetch(x, 0);
  Slot* list = scratch.list.data();
  size_t tests = 0, passed = 0;
  auto test = [&](const Slot* slots, size_t n) {
    for (size_t i = 0; i < n; ++i) prefetch_accept(accept, slots[i]);
    for (size_t i = 0; i < n; ++i) passed += accept(slots[i]) ? 1 : 0;
    tests += n;
  };
  test(near.data(), near.size());
  for (const Slot x : near) test(list, links.copy(x, 0, list));
  effort.lists += 1 + near.size();
  effort.tests += tests;
  return tests == 0 ? 1.0 : static_cast<double>(passed) / static_cast<double>(tests);
}

// How much wider the layer-0 beam of search_filtered is when the filter
// excludes the query's own neighbourhood: when the share of it the filter
// admits (see neighbourhood_share) is under a quarter of the share overall.
inline constexpr size_t kExcludedBeam = 4;
inline bool excludes_neighbourhood(double near_share, double share) { return near_share < share / 4; }

// At most k admitted slots nearest to q, ascending: the greedy descent through
// the upper layers, a narrow filtered_beam on layer 1 for admitted entry
// points, then filtered_beam on layer 0 from them with a beam of max(ef, k);
// or nothing when the walk outgrew its budget (see filtered_beam), so the
// caller can answer another way. With quantized traversal on, the walk
// measures on the codes and the final beam is re-ranked on the full vectors.
// Callers hold the index's shared lock.
template <class Accept, class Budget = NoBudget>
std::optional<std::vector<Neighbor>> search_filtered(const HnswIndex& index, const float* q, size_t k, size_t ef,
                                                     double share, const Accept& accept, const Budget& within = {}) {
  const HnswIndex::Top top = index.top();
  if (k == 0 || top.entry == NO_ENTRY) return std::vector<Neighbor>{};
  ScratchPool::Lease scratch = index.lease_scratch();
  const DistanceFunction fn(index.metric());
  const QueryDistance exact(q, index.vector_store().data(), index.dim(), fn);
  std::vector<Neighbor> out;
  auto walk = [&](const auto& dist) {
    Slot ep = top.entry;
    for (size_t layer = top.level; layer >= 1; --layer) {
      ep = greedy_walk(index.links(), dist, ep, layer, scratch->list.data());
    }
    WalkEffort effort;
    // Whether the filter excludes the query's own neighbourhood decides how
    // far the walk must travel: the budget may turn the walk down here.
    effort.near_share = neighbourhood_share(index.links(), ep, accept, effort, *scratch);
    if (!within(effort)) return false;
    std::vector<Neighbor> entries{{ep, dist(ep)}};
    if (top.level >= 1) {
      // The admitted records nearest to the query may lie in regions the
      // query's own neighbourhood does not lead to (a filter that excludes the
      // query's cluster). Layer 1 spans the whole collection with few nodes,
      // so a filtered walk there finds admitted nodes in each nearby region
      // cheaply, and layer 0 starts from all of them.
      const size_t seeds = std::min(ef, 4 * k);
      if (!filtered_beam(index.links(), 1, dist, entries, k, seeds, share, accept, within, effort, *scratch, out)) {
        return false;
      }
      entries.insert(entries.end(), out.begin(), out.end());  // measured already
    }
    // Where the filter excludes the query's neighbourhood, the admitted
    // records nearest to it lie around it at nearly equal distances, in many
    // regions at once, and a beam of ef spreads too thin over them (measured
    // on 200,000 clustered records, the query's cluster excluded, 30% to 90%
    // admitted: recall 0.83-0.86 at ef 200, 0.89-0.92 at 2x, 0.93-0.96 at 4x).
    // The walk's budget still bounds what the wider beam may cost.
    const size_t ef0 = excludes_neighbourhood(effort.near_share, share) ? kExcludedBeam * ef : ef;
    return filtered_beam(index.links(), 0, dist, entries, k, ef0, share, accept, within, effort, *scratch, out);
  };
  if (const QuantizedSearch* quantized = index.quantized()) {
    if (!walk(QuantizedDistance(q, *quantized))) return std::nullopt;
    rerank(out, exact, k);
    return out;
  }
  if (!walk(exact)) return std::nullopt;
  if (out.size() > k) out.resize(k);
  return out;
}

}  // namespace kelpo
