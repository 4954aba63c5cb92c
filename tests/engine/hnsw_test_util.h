// Helpers shared by the index tests: seeded data, a brute-force oracle and a
// check of the graph invariants.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "engine/index/hnsw_index.h"

namespace kelpo::test_util {

// n vectors of dim floats near a few random centres (so a graph has
// structure to find), from a fixed seed.
inline std::vector<float> clustered(size_t n, size_t dim, uint32_t seed, size_t centres = 8) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> c(centres * dim), out(n * dim);
  for (float& x : c) x = 4.0f * g(rng);
  for (size_t i = 0; i < n; ++i) {
    const float* centre = &c[(i % centres) * dim];
    for (size_t j = 0; j < dim; ++j) out[i * dim + j] = centre[j] + g(rng);
  }
  return out;
}

// Vectors on a low-dimensional subspace plus noise, in `dim` dimensions: many
// floats for few nodes (so the graph path is reached cheaply) and a structure
// a graph can navigate.
inline std::vector<float> low_rank(size_t n, size_t dim, uint32_t seed) {
  const size_t rank = 6;
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> basis(rank * dim), out(n * dim);
  for (float& b : basis) b = g(rng);
  for (size_t i = 0; i < n; ++i) {
    float coef[rank];
    for (float& c : coef) c = g(rng);
    for (size_t j = 0; j < dim; ++j) {
      float v = 0.05f * g(rng);
      for (size_t r = 0; r < rank; ++r) v += coef[r] * basis[r * dim + j];
      out[i * dim + j] = v;
    }
  }
  return out;
}

inline std::vector<const float*> rows(const std::vector<float>& data, size_t dim) {
  std::vector<const float*> out;
  for (size_t i = 0; i + dim <= data.size(); i += dim) out.push_back(&data[i]);
  return out;
}

// The k nearest live slots by distance(), ascending.
inline std::vector<Neighbor> brute_force(const HnswIndex& index, const float* q, size_t k) {
  std::vector<Neighbor> all;
  for (Slot s = 0; s < index.node_count(); ++s) {
    if (!index.is_deleted(s)) all.push_back({s, distance(q, index.vector(s), index.dim(), index.metric())});
  }
  std::stable_sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.distance < b.distance; });
  if (all.size() > k) all.resize(k);
  return all;
}

// Fraction of `truth` slots found in `got`.
inline double recall(const std::vector<Neighbor>& got, const std::vector<Neighbor>& truth) {
  std::set<Slot> want;
  for (const auto& n : truth) want.insert(n.slot);
  size_t hit = 0;
  for (const auto& n : got) hit += want.count(n.slot);
  return truth.empty() ? 1.0 : static_cast<double>(hit) / static_cast<double>(truth.size());
}

inline void expect_graph_invariants(const HnswIndex& index) {
  const Slot n = index.node_count();
  EXPECT_EQ(index.live_count(), n - index.deleted_count());
  EXPECT_EQ(index.vector_store_floats(), static_cast<uint64_t>(n) * index.dim());
  EXPECT_EQ(index.norms().size(), n);
  if (n == 0) {
    EXPECT_EQ(index.entry_point(), NO_ENTRY);
    EXPECT_EQ(index.max_level(), 0u);
    return;
  }
  ASSERT_LT(index.entry_point(), n);
  EXPECT_EQ(index.node_level(index.entry_point()), index.max_level());
  uint64_t entries = 0;
  for (Slot s = 0; s < n; ++s) {
    EXPECT_LE(index.node_level(s), index.max_level()) << "slot " << s;
    for (size_t layer = 0; layer <= index.node_level(s); ++layer) {
      const std::vector<Slot> list = index.neighbors(s, layer);
      entries += list.size();
      EXPECT_LE(list.size(), layer == 0 ? index.m0() : index.m()) << "slot " << s << " layer " << layer;
      std::set<Slot> seen;
      for (Slot x : list) {
        EXPECT_LT(x, n) << "slot " << s << " layer " << layer;
        EXPECT_NE(x, s) << "self link on layer " << layer;
        if (x < n) {
          EXPECT_LE(layer, index.node_level(x)) << "slot " << s << " names " << x << " on layer " << layer;
        }
        EXPECT_TRUE(seen.insert(x).second) << "slot " << s << " links " << x << " twice on layer " << layer;
      }
    }
  }
  EXPECT_EQ(entries, index.total_neighbor_entries());
}

// The earliest slot of the highest level: where the entry point must be after
// inserting into an empty index (it only moves to strictly higher levels).
inline Slot earliest_top_slot(const HnswIndex& index) {
  Slot best = 0;
  for (Slot s = 1; s < index.node_count(); ++s) {
    if (index.node_level(s) > index.node_level(best)) best = s;
  }
  return best;
}

// The nodes a layer-0 walk from the entry point can reach. `barrier`'s list
// is not followed unless it is the entry point itself.
inline std::vector<bool> reachable_on_layer0(const HnswIndex& index, Slot barrier = NO_ENTRY) {
  std::vector<bool> seen(index.node_count(), false);
  std::vector<Slot> frontier{index.entry_point()};
  seen[index.entry_point()] = true;
  while (!frontier.empty()) {
    const Slot s = frontier.back();
    frontier.pop_back();
    if (s == barrier && s != index.entry_point()) continue;
    for (Slot x : index.neighbors(s, 0)) {
      if (!seen[x]) {
        seen[x] = true;
        frontier.push_back(x);
      }
    }
  }
  return seen;
}

}  // namespace kelpo::test_util
