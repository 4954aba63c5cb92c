#include "engine/index/hnsw_index.h"

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
  auto fail = [](const std::string& what) { return KelpoError::io("graph " + what); };
  const size_t n = graph.levels.size();
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

  std::vector<uint8_t> levels(n);
  size_t total_lists = 0;
  for (size_t s = 0; s < n; ++s) {
    if (graph.levels[s] > NeighborLists::kMaxStoredLevel) {
      return fail("node " + std::to_string(s) + " has level " + std::to_string(graph.levels[s]));
    }
    levels[s] = static_cast<uint8_t>(graph.levels[s]);
    total_lists += graph.levels[s] + 1;
  }
  if (n > 0 && graph.levels[graph.entry_point] != graph.max_level) {
    return fail("entry point " + std::to_string(graph.entry_point) + " is not on the top level " +
                std::to_string(graph.max_level));
  }
  if (graph.list_sizes.size() != total_lists) return fail("list count does not match the node levels");

  auto index = std::make_unique<HnswIndex>(dim, metric, m, ef_construction);
  index->links_.add_nodes(levels.data(), n);
  size_t list = 0, offset = 0;
  for (Slot s = 0; s < n; ++s) {
    for (size_t layer = 0; layer <= levels[s]; ++layer, ++list) {
      const size_t len = graph.list_sizes[list];
      if (len > index->links_.capacity(layer)) {
        return fail("list of node " + std::to_string(s) + " on layer " + std::to_string(layer) + " holds " +
                    std::to_string(len) + " slots, more than " + std::to_string(index->links_.capacity(layer)));
      }
      if (offset + len > graph.links.size()) return fail("lists hold fewer slots than their sizes say");
      for (size_t i = 0; i < len; ++i) {
        if (graph.links[offset + i] >= n) {
          return fail("list of node " + std::to_string(s) + " names slot " + std::to_string(graph.links[offset + i]) +
                      ", beyond the last node");
        }
      }
      index->links_.update(s, layer, [&](Slot* entries, size_t& length, float*) {
        for (size_t i = 0; i < len; ++i) entries[i] = graph.links[offset + i];
        length = len;
      });
      offset += len;
    }
  }
  if (offset != graph.links.size()) return fail("lists hold more slots than their sizes say");

  index->deleted_bits_.assign((n + 63) / 64, 0);
  for (Slot s : graph.deleted) {
    if (s >= n) return fail("deleted slot " + std::to_string(s) + " is not a node");
    uint64_t& word = index->deleted_bits_[s >> 6];
    const uint64_t bit = uint64_t{1} << (s & 63);
    if ((word & bit) == 0) ++index->deleted_count_;
    word |= bit;
  }
  index->vectors_ = std::move(vectors);
  index->norms_ = std::move(norms);
  index->entry_point_ = graph.entry_point;
  index->max_level_ = n == 0 ? 0 : graph.max_level;
  index->live_count_.store(n - index->deleted_count_);
  return index;
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
