// Graph construction: levels, insertion (single and batched, with a parallel
// phase), linking a node layer by layer, and relinking after a vector changes.

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>

#include <oneapi/tbb/task_arena.h>

#include "engine/index/beam_search.h"
#include "engine/index/hnsw_index.h"
#include "engine/util/worker_pool.h"

namespace kelpo {

namespace {

uint64_t os_seed() {
  uint64_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) == static_cast<ssize_t>(sizeof seed)) return seed;
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

// Sorts entries by distance, ascending, keeping the order of equal ones.
// Lists are short and mostly sorted already (a pruned list is kept in
// distance order and newcomers are appended), so insertion sort wins.
void stable_sort_by_distance(Neighbor* v, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    const Neighbor x = v[i];
    size_t j = i;
    for (; j > 0 && x.distance < v[j - 1].distance; --j) v[j] = v[j - 1];
    v[j] = x;
  }
}

}  // namespace

size_t HnswIndex::random_level() const {
  thread_local std::mt19937_64 generator(os_seed());
  const uint64_t u = generator();
  const double r = static_cast<double>(u >> 11) * 0x1.0p-53;
  const double level = std::floor(-std::log(r) * level_mult_);
  if (!(level > 0)) return 0;  // negative, zero or NaN
  if (level >= static_cast<double>(kMaxDrawnLevel)) return kMaxDrawnLevel;
  return static_cast<size_t>(level);
}

bool HnswIndex::rows_have_room(size_t nodes) const {
  const size_t after = static_cast<size_t>(links_.size()) + nodes;
  return vectors_.has_room(nodes * dim_) && norms_.size() + nodes <= norms_.capacity() &&
         deleted_bits_.size() * 64 >= after && (!quantized_ || quantized_->has_room(nodes));
}

void HnswIndex::reserve_rows(size_t nodes) {
  const size_t after = norms_.size() + nodes;
  vectors_.reserve_more(nodes * dim_);
  if (after > norms_.capacity()) norms_.reserve(std::max(after, norms_.capacity() + norms_.capacity() / 2));
  if (quantized_) quantized_->reserve_more(nodes);
  // The bits cover the whole capacity, so a node staged beside searches has
  // its (clear) bit without the array moving.
  const size_t capacity = std::max(after, links_.node_capacity());
  if (deleted_bits_.size() * 64 < capacity) deleted_bits_.resize((capacity + 63) / 64, 0);
}

void HnswIndex::append_row(const float* v) {
  vectors_.append(v, dim_);
  norms_.push_back(vector_norm(v, dim_));
  if (quantized_) quantized_->append(v);
}

void HnswIndex::append_nodes(const std::vector<const float*>& vectors, const std::vector<uint8_t>& levels) {
  const size_t n = vectors.size();
  size_t upper = 0;
  for (uint8_t level : levels) upper += level;
  links_.reserve(n, upper);
  reserve_rows(n);
  for (const float* v : vectors) append_row(v);
  links_.add_nodes(levels.data(), n);
}

Slot HnswIndex::insert(const float* v) { return batch_insert(std::vector<const float*>{v}).front(); }

bool HnswIndex::has_room(const std::vector<uint8_t>& levels) const {
  size_t upper = 0;
  for (uint8_t level : levels) upper += level;
  return links_.has_room(levels.size(), upper) && rows_have_room(levels.size());
}

Slot HnswIndex::insert_beside_searches(const float* v, size_t level) {
  // Everything below is written beyond the published node count, where no
  // search reads, into room reserved earlier: nothing a search holds moves.
  append_row(v);
  const Slot slot = links_.stage_node(level);
  const Slot entry = entry_point();
  if (entry == NO_ENTRY) {
    links_.publish();
    set_top(slot, level);
    live_count_.fetch_add(1, std::memory_order_relaxed);
    return slot;
  }
  // Its own lists first, while nothing leads to it; then the count; then the
  // links back, each of which makes it reachable from one list.
  ChosenLinks chosen;
  connect_layers(slot, level, entry, 0, &chosen);
  links_.publish();
  {
    ScratchPool::Lease scratch = lease_scratch();
    for (size_t layer = 0; layer < chosen.per_layer.size(); ++layer) {
      const std::vector<Slot>& to = chosen.per_layer[layer];
      link_back(slot, layer, to.data(), to.size(), *scratch);
    }
  }
  if (level > max_level()) set_top(slot, level);
  live_count_.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

std::vector<Slot> HnswIndex::batch_insert(const std::vector<const float*>& vectors) {
  std::vector<uint8_t> levels(vectors.size());
  for (uint8_t& level : levels) level = static_cast<uint8_t>(random_level());
  return insert_with_levels(vectors, levels);
}

std::vector<Slot> HnswIndex::insert_with_levels(const std::vector<const float*>& vectors,
                                                const std::vector<uint8_t>& levels) {
  const size_t n = vectors.size();
  if (n == 0) return {};
  const Slot start = node_count();
  append_nodes(vectors, levels);

  // Large batches remember layer-0 link distances while they run (see
  // NeighborLists); the cache is sized by the whole index, so a small batch
  // into a large index does without.
  const bool cache = n >= PARALLEL_BATCH_THRESHOLD && n * 16 >= node_count();
  if (cache) links_.enable_distance_cache();

  size_t next = 0;
  if (entry_point() == NO_ENTRY) {
    // The first node starts the graph; there is nothing to link it to.
    set_top(start, levels[0]);
    next = 1;
  }
  const size_t sequential_end = std::min(n, PARALLEL_BATCH_THRESHOLD);
  for (; next < sequential_end; ++next) {
    connect_node(start + static_cast<Slot>(next), levels[next], entry_point());
    if (levels[next] > max_level()) set_top(start + static_cast<Slot>(next), levels[next]);
  }

  if (n > PARALLEL_BATCH_THRESHOLD) {
    // One task per pool thread, each taking the next node in input order, so
    // every node is linked into a graph that already holds (nearly) all the
    // nodes before it. Splitting the range instead would have some threads
    // link late nodes into a graph that is still mostly empty.
    const Slot entry = entry_point();
    std::atomic<size_t> cursor{PARALLEL_BATCH_THRESHOLD};
    const size_t tasks = static_cast<size_t>(std::max(1, oneapi::tbb::this_task_arena::max_concurrency()));
    pool_for(tasks, [&](size_t) {
      for (size_t i; (i = cursor.fetch_add(1, std::memory_order_relaxed)) < n;) {
        connect_node(start + static_cast<Slot>(i), levels[i], entry);
      }
    });
    // The phase linked every node only up to the top layer the graph had when
    // it began. A node drawn higher would leave the batch with empty lists on
    // its upper layers, and the one that becomes the entry point would sit
    // above layers nothing links: every search would then start its descent
    // from wherever the few nodes of the old top layer lead, and recall comes
    // down to the luck of the first 128 levels. So, in input order, such a
    // node is linked on those upper layers too (as a sequential insert would
    // have done) before the entry point moves to it.
    const size_t frozen_top = max_level();
    for (size_t i = PARALLEL_BATCH_THRESHOLD; i < n; ++i) {
      if (levels[i] <= frozen_top) continue;
      connect_layers(start + static_cast<Slot>(i), levels[i], entry_point(), frozen_top + 1);
      if (levels[i] > max_level()) set_top(start + static_cast<Slot>(i), levels[i]);
    }
  }

  if (cache) links_.disable_distance_cache();
  live_count_.fetch_add(n, std::memory_order_relaxed);
  std::vector<Slot> slots(n);
  for (size_t i = 0; i < n; ++i) slots[i] = start + static_cast<Slot>(i);
  return slots;
}

void HnswIndex::connect_node(Slot slot, size_t level, Slot entry) { connect_layers(slot, level, entry, 0); }

size_t HnswIndex::select_neighbors(const Neighbor* ranked, size_t count, size_t cap, Neighbor* out) const {
  // A candidate nearer to a kept neighbour than to the owner is reached
  // through that neighbour anyway; its place goes to one in another
  // direction. On clustered data this is what keeps links between clusters:
  // taking the nearest only fills every list inside its own cluster and
  // leaves the rest of the graph unreachable. (Measured and left out: a
  // relaxed test, alpha * d(c, r) < d(c, owner) with alpha 1.1 or 1.2, keeps
  // near candidates that crowd out those links again; filling a short
  // layer-0 list back up with the pruned candidates nearly doubles the
  // build time.)
  size_t kept = 0;
  for (size_t i = 0; i < count && kept < cap; ++i) {
    const Neighbor c = ranked[i];
    const QueryDistance to_c = walk_distance(vector(c.slot), norms_[c.slot]);
    bool diverse = true;
    for (size_t j = 0; j < kept && diverse; ++j) diverse = !(to_c(out[j].slot) < c.distance);
    if (diverse) out[kept++] = c;
  }
  return kept;
}

void HnswIndex::connect_layers(Slot slot, size_t level, Slot entry, size_t lowest, ChosenLinks* later) {
  const size_t top = max_level();
  if (std::min(level, top) < lowest) return;
  ScratchPool::Lease scratch = lease_scratch();
  const QueryDistance to_new = walk_distance(vector(slot), norms_[slot]);

  Slot ep = entry;
  for (size_t layer = top; layer > level; --layer) {
    ep = greedy_walk(links_, to_new, ep, layer, scratch->list.data(), slot);
  }

  std::vector<Neighbor>& candidates = scratch->ranked;
  for (size_t layer = std::min(level, top);; --layer) {
    beam_search(links_, layer, to_new, ep, to_new(ep), ef_construction_, AcceptAll{}, *scratch, candidates);
    const size_t cap = links_.capacity(layer);

    // The node itself can show up among its candidates: another thread may
    // already link to it, and an update relinks a node that the graph still
    // leads to. It is no candidate of its own: a self-link is useless, and
    // starting the next layer from a node whose lists an update has just
    // emptied would leave it unlinked below. A walk that started below its
    // layer (an update's fallback entry) returns its start, which must not be
    // named on a layer it does not have.
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](const Neighbor& c) { return c.slot == slot || !links_.has_layer(c.slot, layer); }),
                     candidates.end());

    Neighbor* selected = scratch->selected.data();
    const size_t chosen = select_neighbors(candidates.data(), candidates.size(), cap, selected);
    links_.update(slot, layer, [&](Slot* entries, size_t& length, float* distances) {
      if (length == 0) {
        for (size_t i = 0; i < chosen; ++i) entries[i] = selected[i].slot;
        length = chosen;
        // The candidates' distances were measured from this node: exactly
        // what pruning this list would measure.
        if (distances != nullptr) {
          for (size_t i = 0; i < chosen; ++i) distances[i] = selected[i].distance;
        }
        return;
      }
      // Only in the parallel phase: another thread reached this node through
      // a link it made on a higher layer and linked itself in already.
      // Overwriting the list would drop that link for good, so it is kept
      // beside the selection, and an overflow is pruned like any other.
      Neighbor* merged = scratch->pruning.data();
      size_t count = 0;
      for (size_t i = 0; i < chosen; ++i) merged[count++] = selected[i];
      for (size_t j = 0; j < length; ++j) {
        const Slot x = entries[j];
        if (x == slot || std::any_of(selected, selected + chosen, [x](const Neighbor& n) { return n.slot == x; })) {
          continue;
        }
        merged[count++] = {x, to_new(x)};
      }
      if (count > cap) {
        stable_sort_by_distance(merged, count);
        Neighbor* kept = merged + count;
        count = select_neighbors(merged, count, cap, kept);
        merged = kept;
      }
      for (size_t j = 0; j < count; ++j) {
        entries[j] = merged[j].slot;
        if (distances != nullptr) distances[j] = merged[j].distance;
      }
      length = count;
    });

    if (later != nullptr) {
      if (later->per_layer.size() <= layer) later->per_layer.resize(layer + 1);
      std::vector<Slot>& keep = later->per_layer[layer];
      keep.clear();
      for (size_t i = 0; i < chosen; ++i) keep.push_back(selected[i].slot);
    } else {
      Slot* to = scratch->fresh.data();
      for (size_t i = 0; i < chosen; ++i) to[i] = selected[i].slot;
      link_back(slot, layer, to, chosen, *scratch);
    }

    if (!candidates.empty()) ep = candidates.front().slot;
    if (layer == lowest) break;
  }
}

void HnswIndex::link_back(Slot slot, size_t layer, const Slot* chosen, size_t count, SearchScratch& scratch) {
  const size_t cap = links_.capacity(layer);
  for (size_t i = 0; i < count; ++i) {
    const Slot s = chosen[i];
    if (!links_.has_layer(s, layer)) continue;
    const QueryDistance to_s = walk_distance(vector(s), norms_[s]);
    links_.update(s, layer, [&](Slot* entries, size_t& length, float* distances) {
      // A second copy of a link would only take a place from a real one.
      for (size_t j = 0; j < length; ++j) {
        if (entries[j] == slot) return;
      }
      if (length < cap) {
        if (distances != nullptr) distances[length] = NAN;  // measured if a prune needs it
        entries[length++] = slot;
        return;
      }
      // Full: rank the list plus the newcomer by distance to s (a stable
      // sort, so the newcomer, last, loses ties) and keep a diverse subset,
      // as the new node chose its own.
      Neighbor* ranked = scratch.pruning.data();
      for (size_t j = 0; j < length; ++j) {
        const bool known = distances != nullptr && !std::isnan(distances[j]);
        ranked[j] = {entries[j], known ? distances[j] : to_s(entries[j])};
      }
      ranked[length] = {slot, to_s(slot)};
      stable_sort_by_distance(ranked, length + 1);
      Neighbor* kept = ranked + length + 1;
      const size_t kept_count = select_neighbors(ranked, length + 1, cap, kept);
      for (size_t j = 0; j < kept_count; ++j) entries[j] = kept[j].slot;
      if (distances != nullptr) {
        for (size_t j = 0; j < kept_count; ++j) distances[j] = kept[j].distance;
      }
      length = kept_count;
    });
  }
}

void HnswIndex::unlink(Slot slot) {
  ScratchPool::Lease scratch = lease_scratch();
  Slot* former = scratch->list.data();
  for (size_t layer = 0; layer <= links_.level(slot); ++layer) {
    size_t count = 0;
    links_.update(slot, layer, [&](Slot* entries, size_t& length, float*) {
      std::copy(entries, entries + length, former);
      count = length;
      length = 0;
    });
    for (size_t i = 0; i < count; ++i) {
      const Slot x = former[i];
      if (!links_.has_layer(x, layer)) continue;
      links_.update(x, layer, [&](Slot* entries, size_t& length, float*) {
        length = static_cast<size_t>(std::remove(entries, entries + length, slot) - entries);
      });
    }
  }
}

void HnswIndex::update_vector(Slot slot, const float* v) {
  vectors_.overwrite(static_cast<size_t>(slot) * dim_, v, dim_);
  norms_[slot] = vector_norm(vector(slot), dim_);
  if (quantized_) quantized_->set(slot, vector(slot));
  if (node_count() < 2) return;

  // Links to the slot from nodes it does not link to itself stay: finding
  // them would mean scanning every list.
  unlink(slot);

  Slot entry = entry_point();
  if (entry == slot) {
    // The descent starts from the top layer, so it must start at a node that
    // has it: the lowest live node of the top level, else the lowest live node
    // (whose missing upper layers then end the descent at once), else the
    // slot itself.
    Slot lowest_live = slot;
    entry = NO_ENTRY;
    for (Slot s = 0; s < node_count() && entry == NO_ENTRY; ++s) {
      if (s == slot || is_deleted(s)) continue;
      if (lowest_live == slot) lowest_live = s;
      if (links_.level(s) == max_level()) entry = s;
    }
    if (entry == NO_ENTRY) entry = lowest_live;
  }
  connect_node(slot, links_.level(slot), entry);
}

}  // namespace kelpo
