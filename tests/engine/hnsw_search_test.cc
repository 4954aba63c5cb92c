#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/index/hnsw_index.h"
#include "tests/engine/hnsw_test_util.h"

namespace kelpo {
namespace {

using test_util::brute_force;
using test_util::clustered;
using test_util::low_rank;
using test_util::recall;
using test_util::rows;

constexpr Metric kMetrics[] = {Metric::kCosine, Metric::kEuclidean, Metric::kDotProduct};

// The exact path's reference: each slot's distance by the written rule (norm
// formulas without deletions, distance() with them); NaN for deleted slots.
std::vector<float> exact_reference(const HnswIndex& index, const float* q) {
  std::vector<float> out(index.node_count(), NAN);
  const size_t dim = index.dim();
  const float qq = squared_norm(q, dim), qn = std::sqrt(qq);
  for (Slot s = 0; s < index.node_count(); ++s) {
    if (index.is_deleted(s)) continue;
    out[s] = index.deleted_count() > 0
                 ? distance(q, index.vector(s), dim, index.metric())
                 : batch_distance(index.metric(), exact_scan_dot(q, index.vector(s), dim), index.norm(s), qq, qn);
  }
  return out;
}

TEST(ExactSearch, MatchesTheReferenceForAllMetricsWithAndWithoutDeletions) {
  const size_t dim = 16, n = 300;
  const auto data = clustered(n, dim, 5);
  const auto queries = clustered(6, dim, 6);
  for (Metric metric : kMetrics) {
    HnswIndex index(dim, metric, 8, 40);
    index.batch_insert(rows(data, dim));
    for (int round = 0; round < 2; ++round) {
      if (round == 1) {
        for (Slot s = 0; s < n; s += 3) index.mark_deleted(s);
      }
      ASSERT_TRUE(index.uses_brute_force());
      for (size_t qi = 0; qi < 6; ++qi) {
        const float* q = &queries[qi * dim];
        const std::vector<float> per_slot = exact_reference(index, q);
        std::vector<float> sorted;
        for (float d : per_slot) {
          if (!std::isnan(d)) sorted.push_back(d);
        }
        std::sort(sorted.begin(), sorted.end());
        for (size_t k : {size_t{0}, size_t{1}, size_t{10}, size_t{1000}}) {
          const auto got = index.search(q, k, 0);
          ASSERT_EQ(got.size(), std::min(k, sorted.size()));
          for (size_t i = 0; i < got.size(); ++i) {
            // The k smallest, ascending, each the value of its own live row.
            EXPECT_EQ(got[i].distance, sorted[i]) << metric_name(metric) << " k=" << k << " i=" << i;
            EXPECT_EQ(got[i].distance, per_slot[got[i].slot]);
          }
        }
      }
    }
  }
}

// Every kernel of the exact scan, on random block shapes (the blocked
// paths and their remainders) and lengths (whole lane groups and tails):
// a pair's dot is the same whichever block computes it, and close to the
// sum in double precision.
TEST(ExactSearch, EveryScanKernelGivesEachPairOneValueWhateverTheBlock) {
  std::mt19937 rng(21);
  std::normal_distribution<float> g;
  for (int round = 0; round < 60; ++round) {
    const size_t nq = 1 + rng() % 9, nr = 1 + rng() % 11, dim = 1 + rng() % 70;
    std::vector<float> q(nq * dim), r(nr * dim);
    for (float& x : q) x = g(rng);
    for (float& x : r) x = g(rng);
    const auto block = exact_scan_dots_by_kernel(q.data(), nq, r.data(), nr, dim);
    ASSERT_GE(block.size(), 1u);
    for (size_t kernel = 0; kernel < block.size(); ++kernel) {
      for (size_t a = 0; a < nq; ++a) {
        for (size_t j = 0; j < nr; ++j) {
          const float alone = exact_scan_dots_by_kernel(&q[a * dim], 1, &r[j * dim], 1, dim)[kernel][0];
          ASSERT_EQ(block[kernel][a * nr + j], alone) << "kernel " << kernel << ", " << nq << "x" << nr << "x" << dim;
          double exact = 0, scale = 0;
          for (size_t i = 0; i < dim; ++i) {
            exact += static_cast<double>(q[a * dim + i]) * r[j * dim + i];
            scale += std::abs(static_cast<double>(q[a * dim + i]) * r[j * dim + i]);
          }
          ASSERT_NEAR(alone, exact, 1e-5 * (scale + 1)) << "kernel " << kernel;
        }
      }
    }
    EXPECT_EQ(block.back()[0], exact_scan_dot(q.data(), r.data(), dim));
  }
}

TEST(ExactSearch, CosineAndEuclideanEdges) {
  const size_t dim = 3;
  const float zero[3] = {0, 0, 0}, x[3] = {1, 2, 3}, y[3] = {-2, 0.5f, 1};
  HnswIndex cos(dim, Metric::kCosine, 4, 10);
  cos.insert(x);
  cos.insert(zero);
  cos.insert(y);
  // A zero query is 1 from everything on the norm formulas, a zero row 1 from
  // any query.
  for (const Neighbor& n : cos.search(zero, 3, 0)) EXPECT_EQ(n.distance, 1.0f);
  for (const Neighbor& n : cos.search(x, 3, 0)) {
    if (n.slot == 1) {
      EXPECT_EQ(n.distance, 1.0f);
    }
  }
  // With a deletion the scan uses distance(), where zero against zero is 0.
  cos.mark_deleted(2);
  EXPECT_EQ(cos.search(zero, 3, 0).front().distance, 0.0f);

  HnswIndex l2(dim, Metric::kEuclidean, 4, 10);
  l2.insert(y);
  l2.insert(x);
  const auto self = l2.search(x, 1, 0);
  EXPECT_EQ(self.front().slot, 1u);
  EXPECT_NEAR(self.front().distance, 0.0f, 1e-5f);  // possibly slightly negative
}

// The beam search as written, step by step: a plain reference for the
// pooled, prefetching, early-stopping one.
std::vector<Neighbor> reference_beam(const HnswIndex& index, const float* q, Slot entry, size_t ef, size_t layer) {
  auto dist = [&](Slot s) { return distance(q, index.vector(s), index.dim(), index.metric()); };
  auto farther = [](const Neighbor& a, const Neighbor& b) { return a.distance < b.distance; };
  auto nearer = [](const Neighbor& a, const Neighbor& b) { return a.distance > b.distance; };
  std::vector<Neighbor> candidates{{entry, dist(entry)}}, results = candidates;
  std::vector<bool> visited(index.node_count());
  visited[entry] = true;
  while (!candidates.empty()) {
    std::pop_heap(candidates.begin(), candidates.end(), nearer);
    const Neighbor c = candidates.back();
    candidates.pop_back();
    if (c.distance > results.front().distance) break;
    for (Slot x : index.neighbors(c.slot, layer)) {
      if (visited[x]) continue;
      visited[x] = true;
      const float d = dist(x);
      if (d < results.front().distance || results.size() < ef) {
        candidates.push_back({x, d});
        std::push_heap(candidates.begin(), candidates.end(), nearer);
        results.push_back({x, d});
        std::push_heap(results.begin(), results.end(), farther);
        if (results.size() > std::max<size_t>(ef, 1)) {
          std::pop_heap(results.begin(), results.end(), farther);
          results.pop_back();
        }
      }
    }
  }
  std::stable_sort(results.begin(), results.end(), farther);
  return results;
}

TEST(LayerSearch, BeamMatchesTheWrittenAlgorithmOnEveryMetricAndLayer) {
  const size_t dim = 40, n = 3000;
  const auto data = clustered(n, dim, 21, 30);
  const auto queries = clustered(8, dim, 22, 30);
  for (Metric metric : kMetrics) {
    HnswIndex index(dim, metric, 6, 30);
    index.batch_insert(rows(data, dim));
    for (size_t qi = 0; qi < 8; ++qi) {
      const float* q = &queries[qi * dim];
      for (size_t layer : {size_t{0}, size_t{1}}) {
        for (size_t ef : {size_t{0}, size_t{1}, size_t{10}, size_t{64}}) {
          const Slot entry = layer == 0 ? static_cast<Slot>(qi * 97) : index.entry_point();
          const auto got = index.search_layer(q, entry, ef, layer);
          const auto want = reference_beam(index, q, entry, ef, layer);
          ASSERT_EQ(got.size(), want.size()) << metric_name(metric) << " ef=" << ef << " layer=" << layer;
          for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].slot, want[i].slot);
            EXPECT_EQ(got[i].distance, want[i].distance);
          }
        }
      }
      // The greedy walk ends where the written one does.
      Slot cur = index.entry_point();
      for (float best = distance(q, index.vector(cur), dim, metric);;) {
        const Slot start = cur;
        for (Slot x : index.neighbors(cur, 1)) {
          const float d = distance(q, index.vector(x), dim, metric);
          if (d < best) best = d, cur = x;
        }
        if (cur == start || index.node_level(cur) < 1) break;
      }
      EXPECT_EQ(index.search_layer_single(q, index.entry_point(), 1), cur);
    }
  }
}

// 520 nodes of 20,000 floats: 10.4M floats, above the brute-force limit,
// and 20 more vectors as queries.
constexpr size_t kDim = 20000, kNodes = 520;

std::unique_ptr<HnswIndex> build_graph_index(const std::vector<float>& data, Metric metric = Metric::kEuclidean) {
  auto index = std::make_unique<HnswIndex>(kDim, metric, 8, 40);
  const auto all = rows(data, kDim);
  index->batch_insert(std::vector<const float*>(all.begin(), all.begin() + kNodes));
  return index;
}

class GraphSearch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    data_ = new std::vector<float>(low_rank(kNodes + 20, kDim, 7));
    index_ = build_graph_index(*data_).release();
  }
  static void TearDownTestSuite() {
    delete index_;
    delete data_;
  }
  // Queries: the 20 vectors that were not inserted.
  static const float* query(size_t i) { return data_->data() + (kNodes + i) * kDim; }

  static std::vector<float>* data_;
  static HnswIndex* index_;
};
std::vector<float>* GraphSearch::data_ = nullptr;
HnswIndex* GraphSearch::index_ = nullptr;

TEST_F(GraphSearch, RecallAgainstBruteForceAndTheGraphIsSound) {
  HnswIndex& index = *index_;
  // Cosine walks with cached norms and a distance that rounds differently
  // from distance(): what it returns must still be distance()'s values.
  const std::unique_ptr<HnswIndex> cosine = build_graph_index(*data_, Metric::kCosine);
  BLAS_HINT_SHOWN.store(true);
  for (const HnswIndex* checked : {&index, cosine.get()}) {
    ASSERT_FALSE(checked->uses_brute_force());
    test_util::expect_graph_invariants(*checked);
    double total = 0;
    for (size_t i = 0; i < 20; ++i) {
      const auto got = checked->search(query(i), 10, 40);
      ASSERT_EQ(got.size(), 10u);
      for (size_t j = 1; j < got.size(); ++j) EXPECT_LE(got[j - 1].distance, got[j].distance);
      for (const Neighbor& n : got) {
        EXPECT_EQ(n.distance, distance(query(i), checked->vector(n.slot), kDim, checked->metric()));
      }
      total += recall(got, brute_force(*checked, query(i), 10));
    }
    EXPECT_GE(total / 20, 0.9) << metric_name(checked->metric());
  }

  // A beam narrower than k still yields k; k = 0 yields nothing.
  EXPECT_EQ(index.search(query(0), 10, 1).size(), 10u);
  EXPECT_TRUE(index.search(query(0), 0, 40).empty());
}

TEST_F(GraphSearch, LayerSearchesFollowTheirRules) {
  HnswIndex& index = *index_;
  const float* q = query(3);
  const Slot entry = index.entry_point();
  // Greedy walk: ends in a node none of whose neighbours is strictly closer.
  const Slot local = index.search_layer_single(q, entry, 0);
  const float best = distance(q, index.vector(local), kDim, index.metric());
  for (Slot x : index.neighbors(local, 0)) EXPECT_GE(distance(q, index.vector(x), kDim, index.metric()), best);
  // A node without the layer ends the walk where it started.
  Slot low = 0;
  while (index.node_level(low) != 0) ++low;
  EXPECT_EQ(index.search_layer_single(q, low, 1), low);

  // Beam: at most max(ef, 1), ascending; ef 0 keeps exactly one entry.
  const auto one = index.search_layer(q, entry, 0, 0);
  ASSERT_EQ(one.size(), 1u);
  const auto beam = index.search_layer(q, entry, 30, 0);
  ASSERT_EQ(beam.size(), 30u);
  for (size_t j = 1; j < beam.size(); ++j) EXPECT_LE(beam[j - 1].distance, beam[j].distance);
}

TEST(GraphSearchWithDeletions, DeletedSlotsAreWalkedButNotReturned) {
  const std::vector<float> data = low_rank(kNodes + 1, kDim, 8);
  const std::unique_ptr<HnswIndex> built = build_graph_index(data);
  HnswIndex& index = *built;
  const float* q = data.data() + kNodes * kDim;
  const auto nearest = brute_force(index, q, 20);
  for (const Neighbor& n : nearest) index.mark_deleted(n.slot);
  // 500 live nodes: exactly 10,000,000 floats, which is not below the limit.
  ASSERT_EQ(index.live_count() * kDim, BRUTE_FORCE_LIMIT);
  ASSERT_FALSE(index.uses_brute_force());

  // The narrow beam settles among the deleted nodes: fewer than k remain.
  const auto narrow = index.search(q, 10, 10);
  EXPECT_LT(narrow.size(), 10u);
  for (const Neighbor& n : narrow) EXPECT_FALSE(index.is_deleted(n.slot));
  const auto wide = index.search(q, 10, 200);
  EXPECT_EQ(wide.size(), 10u);
  for (const Neighbor& n : wide) EXPECT_FALSE(index.is_deleted(n.slot));

  // One more deletion brings the count under the limit: the exact scan is back.
  index.mark_deleted(wide.back().slot);
  ASSERT_TRUE(index.uses_brute_force());
  BLAS_HINT_SHOWN.store(false);
  ::testing::internal::CaptureStderr();
  const auto exact = index.search(q, 10, 10);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(BLAS_HINT_SHOWN.load());
  EXPECT_EQ(exact.size(), 10u);
}

TEST_F(GraphSearch, ConcurrentSearchesAgreeWithSequentialOnes) {
  const HnswIndex& index = *index_;
  std::vector<std::vector<Neighbor>> want(20);
  for (size_t i = 0; i < 20; ++i) want[i] = index.search(query(i), 10, 50);
  auto run = [&](size_t first, bool* ok) {
    *ok = true;
    for (size_t round = 0; round < 3; ++round) {
      for (size_t i = first; i < 20; i += 2) {
        const auto got = index.search(query(i), 10, 50);
        for (size_t j = 0; j < got.size(); ++j) *ok &= got[j].slot == want[i][j].slot;
      }
    }
  };
  bool ok0 = false, ok1 = false;
  std::thread t0(run, 0, &ok0), t1(run, 1, &ok1);
  t0.join();
  t1.join();
  EXPECT_TRUE(ok0 && ok1);
}

}  // namespace
}  // namespace kelpo
