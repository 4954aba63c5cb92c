#include "engine/index/hnsw_index.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace kelpo {

HnswIndex::HnswIndex(size_t dim, Metric metric, size_t m, size_t ef_construction)
    : dim_(dim),
      metric_(metric),
      ef_construction_(ef_construction),
      level_mult_(1.0 / std::log(static_cast<double>(m))),
      distance_(metric),
      links_(m) {}

Result<std::unique_ptr<HnswIndex>> HnswIndex::restore(size_t dim, Metric metric, size_t m, size_t ef_construction,
                                                      VectorStore vectors, std::vector<float> norms,
                                                      const GraphSnapshot& graph) {
  // Lays the lists out as the index keeps them, then checks them as any
  // other saved links.
  auto fail = [](const std::string& what) { return KelpoError::io("graph " + what); };
  const size_t n = graph.levels.size();
  if (n >= NO_ENTRY) return fail("has too many nodes");
  SavedLinks links;
  links.entry_point = graph.entry_point;
  links.max_level = graph.max_level;
  links.deleted = graph.deleted;
  NeighborArrays& a = links.lists;
  const size_t m0 = 2 * m, stride0 = 1 + m0, stride_upper = 1 + m;
  a.levels.resize(n);
  a.upper_block.assign(n, 0);
  a.layer0.assign(n * stride0, 0);
  size_t blocks = 0, list = 0, offset = 0;
  for (size_t s = 0; s < n; ++s) {
    if (graph.levels[s] > NeighborLists::kMaxStoredLevel) {
      return fail("node " + std::to_string(s) + " has level " + std::to_string(graph.levels[s]));
    }
    a.levels[s] = static_cast<uint8_t>(graph.levels[s]);
    a.upper_block[s] = static_cast<uint32_t>(blocks);
    blocks += graph.levels[s];
  }
  a.upper.assign(blocks * stride_upper, 0);
  for (size_t s = 0; s < n; ++s) {
    for (size_t layer = 0; layer <= a.levels[s]; ++layer, ++list) {
      if (list >= graph.list_sizes.size()) return fail("list count does not match the node levels");
      const size_t len = graph.list_sizes[list];
      const size_t capacity = layer == 0 ? m0 : m;
      if (len > capacity) {
        return fail("list of node " + std::to_string(s) + " on layer " + std::to_string(layer) + " holds " +
                    std::to_string(len) + " slots, more than " + std::to_string(capacity));
      }
      if (offset + len > graph.links.size()) return fail("lists hold fewer slots than their sizes say");
      uint32_t* words = layer == 0 ? &a.layer0[s * stride0] : &a.upper[(a.upper_block[s] + layer - 1) * stride_upper];
      words[0] = static_cast<uint32_t>(len);
      std::copy(graph.links.begin() + static_cast<ptrdiff_t>(offset),
                graph.links.begin() + static_cast<ptrdiff_t>(offset + len), words + 1);
      offset += len;
    }
  }
  if (list != graph.list_sizes.size()) return fail("list count does not match the node levels");
  if (offset != graph.links.size()) return fail("lists hold more slots than their sizes say");
  return restore(dim, metric, m, ef_construction, std::move(vectors), std::move(norms), std::move(links));
}

Result<std::unique_ptr<HnswIndex>> HnswIndex::restore(size_t dim, Metric metric, size_t m, size_t ef_construction,
                                                      VectorStore vectors, std::vector<float> norms,
                                                      SavedLinks graph) {
  auto fail = [](const std::string& what) { return KelpoError::io("graph " + what); };
  NeighborArrays& a = graph.lists;
  const size_t n = a.levels.size();
  if (n >= NO_ENTRY) return fail("has too many nodes");
  if (vectors.size() != n * dim) {
    return fail("has " + std::to_string(n) + " nodes but the vectors hold " + std::to_string(vectors.size()) +
                " floats of dimension " + std::to_string(dim));
  }
  if (norms.size() != n) {
    return fail("has " + std::to_string(n) + " nodes but there are " + std::to_string(norms.size()) + " norms");
  }
  if (n == 0 && graph.entry_point != NO_ENTRY) return fail("has an entry point but no nodes");
  if (n > 0 && graph.entry_point >= n) return fail("entry point " + std::to_string(graph.entry_point) + " is not a node");
  if (n > 0 && a.levels[graph.entry_point] != graph.max_level) {
    return fail("entry point " + std::to_string(graph.entry_point) + " is not on the top level " +
                std::to_string(graph.max_level));
  }

  // Shapes first, so that every list read below lies inside its array.
  const size_t m0 = 2 * m, stride0 = 1 + m0, stride_upper = 1 + m;
  if (a.upper_block.size() != n || a.layer0.size() != n * stride0 || a.upper.size() % stride_upper != 0) {
    return fail("lists are not laid out for " + std::to_string(n) + " nodes");
  }
  const size_t blocks = a.upper.size() / stride_upper;
  // A list is refused when it is too long or names a slot beyond the last
  // node. The loops only accumulate flags, so they stream through the arrays.
  auto bad_list = [n](const uint32_t* words, size_t capacity) {
    const uint32_t len = words[0];
    if (len > capacity) return true;
    uint32_t beyond = 0;
    for (uint32_t i = 0; i < len; ++i) beyond |= static_cast<uint32_t>(words[1 + i] >= n);
    return beyond != 0;
  };
  auto list_fault = [&](size_t s, size_t layer, const uint32_t* words, size_t capacity) {
    if (words[0] > capacity) {
      return fail("list of node " + std::to_string(s) + " on layer " + std::to_string(layer) + " holds " +
                  std::to_string(words[0]) + " slots, more than " + std::to_string(capacity));
    }
    return fail("list of node " + std::to_string(s) + " on layer " + std::to_string(layer) +
                " names a slot beyond the last node");
  };
  for (size_t s = 0; s < n; ++s) {
    const uint32_t* words = &a.layer0[s * stride0];
    if (bad_list(words, m0)) return list_fault(s, 0, words, m0);
    const size_t level = a.levels[s];
    if (level == 0) continue;
    if (level > graph.max_level) {
      return fail("node " + std::to_string(s) + " has level " + std::to_string(level) + " above the top level " +
                  std::to_string(graph.max_level));
    }
    if (a.upper_block[s] > blocks || blocks - a.upper_block[s] < level) {
      return fail("lists of node " + std::to_string(s) + " lie outside the upper layers");
    }
    for (size_t layer = 1; layer <= level; ++layer) {
      const uint32_t* up = &a.upper[(a.upper_block[s] + layer - 1) * stride_upper];
      if (bad_list(up, m)) return list_fault(s, layer, up, m);
    }
  }

  auto index = std::make_unique<HnswIndex>(dim, metric, m, ef_construction);
  index->deleted_bits_.assign((n + 63) / 64, 0);
  for (Slot s : graph.deleted) {
    if (s >= n) return fail("deleted slot " + std::to_string(s) + " is not a node");
    uint64_t& word = index->deleted_bits_[s >> 6];
    const uint64_t bit = uint64_t{1} << (s & 63);
    if ((word & bit) == 0) ++index->deleted_count_;
    word |= bit;
  }
  index->links_.adopt(std::move(a));
  index->vectors_ = std::move(vectors);
  index->norms_ = std::move(norms);
  index->set_top(graph.entry_point, n == 0 ? 0 : graph.max_level);
  index->live_count_.store(n - index->deleted_count_);
  return index;
}

void HnswIndex::reserve(size_t nodes) {
  // About one node in m - 1 has upper layers (the level draw is geometric).
  links_.reserve(nodes, nodes / std::max<size_t>(1, m() - 1) + 16);
  reserve_rows(nodes);
}

std::vector<Slot> HnswIndex::deleted_slots() const {
  std::vector<Slot> out;
  out.reserve(deleted_count_);
  for (size_t w = 0; w < deleted_bits_.size(); ++w) {
    for (uint64_t bits = deleted_bits_[w]; bits != 0; bits &= bits - 1) {
      out.push_back(static_cast<Slot>(w * 64 + static_cast<size_t>(__builtin_ctzll(bits))));
    }
  }
  return out;
}

void HnswIndex::mark_deleted(Slot s) {
  if (s >= node_count() || is_deleted(s)) return;
  deleted_bits_[s >> 6] |= uint64_t{1} << (s & 63);
  ++deleted_count_;
  live_count_.fetch_sub(1, std::memory_order_relaxed);
}

size_t HnswIndex::neighbor_count(Slot s, size_t layer) const {
  if (s >= node_count() || !links_.has_layer(s, layer)) return 0;
  return links_.count(s, layer);
}

std::vector<Slot> HnswIndex::neighbors(Slot s, size_t layer) const {
  if (s >= node_count() || !links_.has_layer(s, layer)) return {};
  std::vector<Slot> out(links_.capacity(layer));
  out.resize(links_.copy(s, layer, out.data()));
  return out;
}

uint64_t HnswIndex::total_neighbor_entries() const { return links_.total_entries(); }

uint64_t HnswIndex::graph_bytes() const {
  return links_.byte_size() + deleted_bits_.capacity() * sizeof(uint64_t) + scratch_.byte_size();
}

}  // namespace kelpo
