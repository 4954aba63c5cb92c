#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "engine/db/fair_shared_mutex.h"
#include "engine/index/filtered_search.h"
#include "engine/index/hnsw_index.h"
#include "tests/engine/hnsw_test_util.h"

namespace kelpo {
namespace {

using test_util::clustered;
using test_util::earliest_top_slot;
using test_util::expect_graph_invariants;
using test_util::rows;

TEST(HnswBuild, NewIndexIsEmpty) {
  HnswIndex index(4, Metric::kCosine, 16, 200);
  EXPECT_EQ(index.node_count(), 0u);
  EXPECT_EQ(index.m0(), 32u);
  EXPECT_NEAR(index.level_mult(), 1.0 / std::log(16.0), 1e-15);
  expect_graph_invariants(index);
  const float q[4] = {1, 2, 3, 4};
  EXPECT_TRUE(index.search(q, 10, 10).empty());
  EXPECT_TRUE(index.batch_insert({}).empty());
  EXPECT_EQ(index.node_count(), 0u);
}

TEST(HnswBuild, FirstNodeStartsTheGraphAndSecondLinksBothWays) {
  HnswIndex index(2, Metric::kEuclidean, 4, 10);
  const float a[2] = {0, 0}, b[2] = {1, 1};
  EXPECT_EQ(index.insert(a), 0u);
  EXPECT_EQ(index.entry_point(), 0u);
  EXPECT_EQ(index.max_level(), index.node_level(0));
  EXPECT_EQ(index.total_neighbor_entries(), 0u);

  EXPECT_EQ(index.insert(b), 1u);
  const size_t shared = std::min(index.node_level(0), index.node_level(1));
  for (size_t layer = 0; layer <= shared; ++layer) {
    EXPECT_EQ(index.neighbors(1, layer), std::vector<Slot>{0}) << layer;
    EXPECT_EQ(index.neighbors(0, layer), std::vector<Slot>{1}) << layer;
  }
  EXPECT_EQ(index.total_neighbor_entries(), 2 * (shared + 1));
  EXPECT_EQ(index.entry_point(), earliest_top_slot(index));
  EXPECT_EQ(index.norm(1), std::sqrt(2.0f));
  expect_graph_invariants(index);
}

// One node at a time and in batches past the parallel threshold, onto an
// empty index and onto a populated one: the caps, slot bounds, counts and the
// entry point hold throughout, and the returned slots are consecutive.
TEST(HnswBuild, InsertAndBatchInsertKeepInvariants) {
  const size_t dim = 12;
  const auto data = clustered(1200, dim, 1);
  const auto all = rows(data, dim);
  HnswIndex index(dim, Metric::kEuclidean, 6, 40);

  const std::vector<const float*> first(all.begin(), all.begin() + 300);
  const std::vector<Slot> slots = index.batch_insert(first);
  ASSERT_EQ(slots.size(), 300u);
  for (size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slots[i], i);
  EXPECT_EQ(index.live_count(), 300u);
  EXPECT_EQ(index.entry_point(), earliest_top_slot(index));
  expect_graph_invariants(index);

  for (size_t i = 300; i < 400; ++i) EXPECT_EQ(index.insert(all[i]), i);
  const std::vector<const float*> rest(all.begin() + 400, all.end());
  const std::vector<Slot> more = index.batch_insert(rest);
  EXPECT_EQ(more.front(), 400u);
  EXPECT_EQ(more.back(), 1199u);
  EXPECT_EQ(index.live_count(), 1200u);
  EXPECT_EQ(index.entry_point(), earliest_top_slot(index));
  expect_graph_invariants(index);
  for (Slot s = 0; s < 1200; ++s) {
    ASSERT_EQ(std::memcmp(index.vector(s), all[s], dim * sizeof(float)), 0) << s;
    EXPECT_EQ(index.norm(s), vector_norm(all[s], dim));
  }
  // Every node was linked: each has layer-0 links (the graph is one cluster
  // per centre at least).
  for (Slot s = 0; s < 1200; ++s) EXPECT_GT(index.neighbor_count(s, 0), 0u) << s;
}

TEST(HnswBuild, LevelsFollowTheGeometricLawAndAreCapped) {
  HnswIndex index(1, Metric::kEuclidean, 16, 10);
  size_t above0 = 0, above1 = 0;
  const size_t draws = 200000;
  for (size_t i = 0; i < draws; ++i) {
    const size_t level = index.random_level();
    above0 += level >= 1;
    above1 += level >= 2;
    ASSERT_LE(level, kMaxDrawnLevel);
  }
  // P(level >= L) = 16^-L: 12500 and ~781 expected.
  EXPECT_NEAR(static_cast<double>(above0) / draws, 1.0 / 16, 0.004);
  EXPECT_NEAR(static_cast<double>(above1) / draws, 1.0 / 256, 0.001);

  // m = 1 makes the multiplier infinite: every draw hits the cap instead of
  // overflowing.
  HnswIndex degenerate(1, Metric::kEuclidean, 1, 10);
  EXPECT_EQ(degenerate.random_level(), kMaxDrawnLevel);
}

TEST(HnswBuild, UpdateOfTheOnlySlotChangesVectorAndNormOnly) {
  HnswIndex index(3, Metric::kCosine, 4, 10);
  const float a[3] = {1, 0, 0}, b[3] = {0, 3, 4};
  index.insert(a);
  index.update_vector(0, b);
  EXPECT_EQ(index.vector(0)[1], 3.0f);
  EXPECT_EQ(index.norm(0), 5.0f);
  EXPECT_EQ(index.total_neighbor_entries(), 0u);
}

// After moving a vector, its own lists are rebuilt around the new position
// and the nodes it used to link to no longer link back to it (unless they are
// near the new position too). Several moves in a row. A node moved far out
// can lose every in-link to the diversity rule (it is about equally far from
// everything), and then no relink can meet it: the check of left-out nodes
// covers the nodes a walk reaches.
TEST(HnswBuild, UpdateRelinksAroundTheNewPosition) {
  const size_t dim = 8;
  const auto data = clustered(120, dim, 2, 1);
  HnswIndex index(dim, Metric::kEuclidean, 8, 200);
  index.batch_insert(rows(data, dim));

  for (Slot moved : {17u, 3u, 64u, index.entry_point(), 99u, 0u}) {
    const std::vector<Slot> before = index.neighbors(moved, 0);
    std::vector<float> far(dim, 1000.0f);
    far[moved % dim] += static_cast<float>(moved);
    index.update_vector(moved, far.data());
    expect_graph_invariants(index);
    EXPECT_EQ(index.norm(moved), vector_norm(far.data(), dim));

    // With ef_construction above the node count the relinking beam covers the
    // whole graph, so the new list is the diverse selection from all other
    // nodes: it starts with the nearest, runs in ascending distance, no entry
    // is nearer to an earlier entry than to the moved node, and every node
    // left out is nearer to some nearer entry than to the moved node.
    const std::vector<Slot> list = index.neighbors(moved, 0);
    const std::vector<Neighbor> ranked = test_util::brute_force(index, far.data(), index.node_count());
    const Slot nearest = ranked[0].slot == moved ? ranked[1].slot : ranked[0].slot;
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), nearest) << "moved " << moved;
    auto d = [&](Slot a, Slot b) { return distance(index.vector(a), index.vector(b), dim, index.metric()); };
    for (size_t i = 0; i < list.size(); ++i) {
      if (i > 0) {
        EXPECT_LE(d(list[i - 1], moved), d(list[i], moved));
      }
      for (size_t j = 0; j < i; ++j) EXPECT_GE(d(list[i], list[j]), d(list[i], moved)) << list[i] << " " << list[j];
    }
    if (list.size() < index.m0()) {
      // Links added by the relink all lead to the moved node, so a walk that
      // does not pass through it reaches no more than the relink's walk did.
      const std::vector<bool> reached = test_util::reachable_on_layer0(index, moved);
      for (const Neighbor& x : ranked) {
        if (x.slot == moved || std::find(list.begin(), list.end(), x.slot) != list.end()) continue;
        if (!reached[x.slot]) continue;
        const bool covered = std::any_of(list.begin(), list.end(), [&](Slot r) {
          return d(r, moved) <= x.distance && d(x.slot, r) < d(x.slot, moved);
        });
        EXPECT_TRUE(covered) << "left out " << x.slot;
      }
    }

    for (Slot x : before) {
      const auto back = index.neighbors(x, 0);
      const bool links_back = std::find(back.begin(), back.end(), moved) != back.end();
      const bool now_neighbour = std::find(list.begin(), list.end(), x) != list.end();
      EXPECT_TRUE(!links_back || now_neighbour) << "former neighbour " << x << " still links to " << moved;
    }
    EXPECT_EQ(index.search(far.data(), 1, 50).front().slot, moved);
  }
}


TEST(HnswBuild, MarkDeletedCountsOnceAndKeepsEverythingElse) {
  const size_t dim = 4;
  const auto data = clustered(50, dim, 4);
  HnswIndex index(dim, Metric::kEuclidean, 4, 20);
  index.batch_insert(rows(data, dim));
  const Slot entry = index.entry_point();
  const uint64_t links = index.total_neighbor_entries();

  index.mark_deleted(entry);
  index.mark_deleted(entry);
  index.mark_deleted(50);  // beyond the last node: ignored
  EXPECT_EQ(index.live_count(), 49u);
  EXPECT_EQ(index.deleted_count(), 1u);
  EXPECT_EQ(index.deleted_slots(), std::vector<Slot>{entry});
  EXPECT_EQ(index.entry_point(), entry);
  EXPECT_EQ(index.total_neighbor_entries(), links);
  EXPECT_EQ(index.norm(entry), vector_norm(&data[entry * dim], dim));
  expect_graph_invariants(index);
}

}  // namespace
}  // namespace kelpo

namespace kelpo {

// Draws no levels, so two indexes can be built over the same levels.
class HnswIndexTestPeer {
 public:
  static std::vector<Slot> insert_with_levels(HnswIndex& index, const std::vector<const float*>& vectors,
                                              const std::vector<uint8_t>& levels) {
    return index.insert_with_levels(vectors, levels);
  }
  // The graph walk, whatever the index's size.
  static std::vector<Neighbor> graph_search(const HnswIndex& index, const float* q, size_t k, size_t ef) {
    return index.graph_search(q, k, ef);
  }
};

namespace {

// A large batch prunes with remembered link distances; one-by-one inserts
// measure every distance again. Over the same levels, in the same order
// (128 new nodes: all in the sequential phase), the graphs must be identical.
TEST(HnswBuild, BatchPruningWithRememberedDistancesMatchesMeasuringAgain) {
  const size_t dim = 10, n = PARALLEL_BATCH_THRESHOLD;
  const auto data = clustered(n, dim, 9, 3);
  const auto all = rows(data, dim);
  std::vector<uint8_t> levels(n);
  for (size_t i = 0; i < n; ++i) levels[i] = i % 7 == 3 ? 1 : i % 31 == 5 ? 2 : 0;
  for (Metric metric : {Metric::kCosine, Metric::kEuclidean, Metric::kDotProduct}) {
    HnswIndex batched(dim, metric, 3, 12), single(dim, metric, 3, 12);
    HnswIndexTestPeer::insert_with_levels(batched, all, levels);
    for (size_t i = 0; i < n; ++i) HnswIndexTestPeer::insert_with_levels(single, {all[i]}, {levels[i]});
    // Lists filled up and were pruned (to diverse subsets, hence not full).
    ASSERT_GT(batched.total_neighbor_entries(), 2 * n);
    for (Slot s = 0; s < n; ++s) {
      for (size_t layer = 0; layer <= levels[s]; ++layer) {
        ASSERT_EQ(batched.neighbors(s, layer), single.neighbors(s, layer)) << metric_name(metric) << " " << s;
      }
    }
    EXPECT_EQ(batched.entry_point(), single.entry_point());
  }
}

// The parallel phase links nodes only up to the top layer the graph had when
// it began; nodes drawn higher must still end the batch linked on their upper
// layers, under the entry point the sequential rule picks.
TEST(HnswBuild, NodesAboveTheTopOfTheSequentialPhaseAreLinkedOnTheirUpperLayers) {
  const size_t dim = 6, n = 700;
  const auto data = clustered(n, dim, 10);
  std::vector<uint8_t> levels(n, 0);  // the first 128 stay on layer 0
  levels[200] = 2;
  levels[300] = levels[400] = levels[500] = 1;
  levels[600] = 2;
  HnswIndex index(dim, Metric::kEuclidean, 4, 20);
  HnswIndexTestPeer::insert_with_levels(index, rows(data, dim), levels);
  EXPECT_EQ(index.entry_point(), 200u);
  EXPECT_EQ(index.max_level(), 2u);
  EXPECT_EQ(index.neighbors(200, 2), std::vector<Slot>{600});
  EXPECT_EQ(index.neighbors(600, 2), std::vector<Slot>{200});
  for (Slot s : {200u, 300u, 400u, 500u, 600u}) EXPECT_FALSE(index.neighbors(s, 1).empty()) << s;
  expect_graph_invariants(index);
}

// Relinking the entry point starts from a live node of the top level (the
// lowest one), never from the lowest live node, which here has no upper
// layers: the entry point's upper lists must not name nodes without them.
TEST(HnswBuild, UpdatingTheEntryPointKeepsItAndTheUpperLayersSound) {
  const size_t dim = 6, n = 200;
  const auto data = clustered(n, dim, 3);
  std::vector<uint8_t> levels(n, 0);
  levels[1] = levels[2] = levels[150] = 2;
  levels[3] = levels[40] = levels[90] = 1;
  for (Metric metric : {Metric::kDotProduct, Metric::kEuclidean}) {
    HnswIndex index(dim, metric, 8, 32);
    HnswIndexTestPeer::insert_with_levels(index, rows(data, dim), levels);
    ASSERT_EQ(index.entry_point(), 1u);
    index.mark_deleted(2);
    std::vector<float> v(data.begin() + 5 * dim, data.begin() + 6 * dim);
    index.update_vector(1, v.data());
    EXPECT_EQ(index.entry_point(), 1u);
    EXPECT_EQ(index.max_level(), 2u);
    for (Slot x : index.neighbors(1, 2)) EXPECT_TRUE(x == 2 || x == 150) << x;
    EXPECT_FALSE(index.neighbors(1, 2).empty());
    expect_graph_invariants(index);
  }
}

// Tight, well separated clusters are where nearest-first selection fails:
// every list fills up inside its own cluster and nothing links clusters to
// each other. The diversity rule keeps links out of a cluster, so every node
// stays reachable from the entry point and the walk finds true neighbours.
TEST(HnswBuild, ClusteredDataStaysReachableAndSearchable) {
  const size_t dim = 32, n = 20000, clusters = 200, queries = 200, k = 10;
  std::mt19937 rng(42);
  std::normal_distribution<float> g;
  std::vector<float> centres(clusters * dim), data(n * dim), probes(queries * dim);
  for (float& c : centres) c = 10.0f * g(rng);
  auto draw = [&](float* out) {
    const float* centre = &centres[(rng() % clusters) * dim];
    for (size_t j = 0; j < dim; ++j) out[j] = centre[j] + 0.1f * g(rng);
  };
  for (size_t i = 0; i < n; ++i) draw(&data[i * dim]);
  for (size_t i = 0; i < queries; ++i) draw(&probes[i * dim]);

  HnswIndex index(dim, Metric::kEuclidean, 16, 100);
  index.batch_insert(rows(data, dim));

  const std::vector<bool> seen = test_util::reachable_on_layer0(index);
  const size_t reached = static_cast<size_t>(std::count(seen.begin(), seen.end(), true));
  EXPECT_GE(static_cast<double>(reached), 0.999 * n);

  double total = 0;
  for (size_t q = 0; q < queries; ++q) {
    const float* probe = &probes[q * dim];
    total += test_util::recall(HnswIndexTestPeer::graph_search(index, probe, k, 64),
                               test_util::brute_force(index, probe, k));
  }
  EXPECT_GE(total / queries, 0.95);
}

// One writer inserts beside searching threads as the database does: under
// the shared lock while the arrays have room, under the exclusive lock (which
// grows them) otherwise, deleting now and then. Every search, whichever walk,
// must return only published live slots, each once, ascending, each with the
// exact distance of its own vector; afterwards the graph keeps its invariants,
// its reach and its recall.
TEST(HnswBuild, InsertsBesideSearchesOnlyEverReturnWholeNodes) {
  struct Case {
    Metric metric;
    size_t m;
    bool quantized;
    uint32_t seed;
  };
  for (const Case& c : {Case{Metric::kCosine, 6, false, 1}, Case{Metric::kEuclidean, 4, true, 2},
                        Case{Metric::kDotProduct, 8, false, 3}}) {
    SCOPED_TRACE(metric_name(c.metric));
    const size_t dim = 12, initial = 150, added = 450;
    const auto data = clustered(initial + added, dim, c.seed, 6);
    const auto all = rows(data, dim);
    HnswIndex index(dim, c.metric, c.m, 40);
    index.batch_insert(std::vector<const float*>(all.begin(), all.begin() + initial));
    if (c.quantized) index.enable_quantized_search();

    FairSharedMutex mu;
    std::atomic<bool> done{false};
    std::atomic<size_t> beside{0}, checked{0};
    std::atomic<int> readers{2};
    std::thread writer([&] {
      std::mt19937 rng(c.seed);
      size_t last = 0;
      for (size_t i = initial; i < all.size(); ++i) {
        // Every few inserts, wait for a search to finish, so the two
        // interleave however the threads are scheduled.
        while (i % 16 == 0 && checked.load() == last && readers.load() > 0) std::this_thread::yield();
        last = checked.load();
        const uint8_t level = static_cast<uint8_t>(index.random_level());
        {
          std::shared_lock<FairSharedMutex> shared(mu);
          if (index.has_room({level})) {
            index.insert_beside_searches(all[i], level);
            ++beside;
          }
        }
        if (index.node_count() <= i) {
          std::unique_lock<FairSharedMutex> exclusive(mu);
          index.batch_insert({all[i]}, {level});
        }
        if (rng() % 20 == 0) {
          std::unique_lock<FairSharedMutex> exclusive(mu);
          index.mark_deleted(static_cast<Slot>(rng() % index.node_count()));
        }
      }
      done = true;
    });
    auto reader = [&](uint32_t seed) {
      struct Leave {
        std::atomic<int>& n;
        ~Leave() { --n; }
      } leave{readers};
      std::mt19937 rng(seed);
      std::normal_distribution<float> g;
      const DistanceFunction fn(c.metric);
      std::vector<float> q(dim);
      while (!done.load()) {
        for (float& x : q) x = 4.0f * g(rng);
        const size_t k = 1 + rng() % 8;
        const int walk = static_cast<int>(rng() % 3);
        std::shared_lock<FairSharedMutex> shared(mu);
        auto live = [&](Slot s) { return !index.is_deleted(s); };
        auto even = [&](Slot s) { return !index.is_deleted(s) && s % 2 == 0; };
        std::vector<Neighbor> got;
        if (walk == 0) {
          got = HnswIndexTestPeer::graph_search(index, q.data(), k, 16);
        } else if (walk == 1) {
          got = search_accepting(index, q.data(), k, 16, live);
        } else {
          auto filtered = search_filtered(index, q.data(), k, 16, 0.5, even);
          ASSERT_TRUE(filtered.has_value());
          got = std::move(*filtered);
        }
        const Slot published = index.node_count();
        ASSERT_LE(got.size(), k);
        std::set<Slot> seen;
        for (size_t i = 0; i < got.size(); ++i) {
          const Slot s = got[i].slot;
          ASSERT_LT(s, published);
          ASSERT_TRUE(walk == 2 ? even(s) : live(s)) << s;
          ASSERT_TRUE(seen.insert(s).second) << s;
          ASSERT_EQ(got[i].distance, fn(q.data(), index.vector(s), dim)) << s;
          if (i > 0) {
            ASSERT_LE(got[i - 1].distance, got[i].distance);
          }
        }
        ++checked;
      }
    };
    std::thread r1(reader, c.seed * 10 + 1), r2(reader, c.seed * 10 + 2);
    writer.join();
    r1.join();
    r2.join();

    EXPECT_GT(checked.load(), 0u);
    EXPECT_GT(beside.load(), added / 2);  // growth is geometric: few inserts take the exclusive lock
    ASSERT_EQ(index.node_count(), all.size());
    expect_graph_invariants(index);
    // The same rows inserted one at a time with nothing beside them: reach
    // and recall must come out the same, up to the luck of the levels.
    HnswIndex alone(dim, c.metric, c.m, 40);
    alone.batch_insert(std::vector<const float*>(all.begin(), all.begin() + initial));
    for (size_t i = initial; i < all.size(); ++i) alone.batch_insert({all[i]});
    auto reach = [](const HnswIndex& x) {
      const std::vector<bool> seen = test_util::reachable_on_layer0(x);
      return static_cast<double>(std::count(seen.begin(), seen.end(), true)) / static_cast<double>(seen.size());
    };
    auto recall = [&](const HnswIndex& x) {
      double total = 0;
      size_t probes = 0;
      for (size_t i = 0; i < all.size(); i += 10, ++probes) {
        total += test_util::recall(HnswIndexTestPeer::graph_search(x, all[i], 5, 64), test_util::brute_force(x, all[i], 5));
      }
      return total / static_cast<double>(probes);
    };
    EXPECT_GE(reach(index), reach(alone) - 0.05);
    EXPECT_GE(recall(index), recall(alone) - 0.05);
  }
}

}  // namespace
}  // namespace kelpo
