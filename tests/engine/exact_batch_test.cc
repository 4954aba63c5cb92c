// The batched exact scan against the single-query one: every query's hits
// must be the same slots with the same distance bits, on every metric,
// whatever the dimension, row count, batch size and k.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "engine/db/database.h"
#include "engine/index/hnsw_index.h"
#include "tests/engine/db_test_util.h"
#include "tests/engine/hnsw_test_util.h"

namespace kelpo {
namespace {

constexpr Metric kMetrics[] = {Metric::kCosine, Metric::kEuclidean, Metric::kDotProduct};

void expect_same(const std::vector<Neighbor>& batch, const std::vector<Neighbor>& single, const std::string& where) {
  ASSERT_EQ(batch.size(), single.size()) << where;
  for (size_t i = 0; i < batch.size(); ++i) {
    EXPECT_EQ(batch[i].slot, single[i].slot) << where << " hit " << i;
    EXPECT_EQ(std::bit_cast<uint32_t>(batch[i].distance), std::bit_cast<uint32_t>(single[i].distance))
        << where << " hit " << i;
  }
}

// Random shapes around the scan's block sizes (8 lanes, 4 x 2 and 1 x 4
// blocks, 32-row tiles, 64-query blocks), with zero rows and duplicated rows
// for the cosine and tie edges, and a second round with deletions.
TEST(ExactBatch, EveryQueryMatchesTheSingleScanBitForBit) {
  std::mt19937 rng(7);
  const size_t dims[] = {1, 3, 7, 8, 9, 16, 31, 100};
  for (int trial = 0; trial < 24; ++trial) {
    const size_t dim = dims[trial % 8];
    const size_t n = std::uniform_int_distribution<size_t>(1, 200)(rng);
    const size_t count = std::uniform_int_distribution<size_t>(1, 150)(rng);
    const Metric metric = kMetrics[trial % 3];
    std::vector<float> data = test_util::clustered(n, dim, static_cast<uint32_t>(trial));
    std::fill(data.begin(), data.begin() + static_cast<ptrdiff_t>(dim), 0.0f);  // a zero row
    if (n > 3) std::copy(data.begin() + dim, data.begin() + 2 * dim, data.begin() + 3 * dim);  // a tie
    std::vector<float> queries = test_util::clustered(count, dim, static_cast<uint32_t>(100 + trial));
    std::fill(queries.begin(), queries.begin() + static_cast<ptrdiff_t>(dim), 0.0f);  // a zero query
    HnswIndex index(dim, metric, 8, 40);
    index.batch_insert(test_util::rows(data, dim));
    ASSERT_TRUE(index.uses_brute_force());
    for (int round = 0; round < 2; ++round) {
      if (round == 1) {
        for (Slot s = 1; s < n; s += 4) index.mark_deleted(s);
      }
      for (size_t k : {size_t{1}, size_t{5}, size_t{64}, size_t{1000}}) {
        const auto batch = index.exact_search_many(queries.data(), count, k);
        ASSERT_EQ(batch.size(), count);
        for (size_t q = 0; q < count; ++q) {
          expect_same(batch[q], index.search(&queries[q * dim], k, 0),
                      std::string(metric_name(metric)) + " dim " + std::to_string(dim) + " n " + std::to_string(n) +
                          " k " + std::to_string(k) + " round " + std::to_string(round) + " query " +
                          std::to_string(q));
        }
      }
    }
    EXPECT_TRUE(index.exact_search_many(queries.data(), count, 0)[0].empty());
  }
}

// Through the database: search_many's exact path gives each query what
// search gives it, ids, distances and the cut-off included.
TEST(ExactBatch, DatabaseSearchManyMatchesSearch) {
  testing_util::ScratchDir dir;
  std::mt19937 rng(3);
  for (Metric metric : kMetrics) {
    auto db = testing_util::open_db(dir.path() + "/" + metric_name(metric), 12, metric);
    const VectorBatch rows = testing_util::random_batch(rng, 500, 12);
    std::vector<std::string> ids;
    for (size_t i = 0; i < rows.size(); ++i) ids.push_back("r" + std::to_string(i));
    ASSERT_TRUE(db->add_many(ids, rows, {}).ok());
    const VectorBatch queries = testing_util::random_batch(rng, 77, 12);
    SearchOptions options;
    options.k = 9;
    for (std::optional<float> cut : {std::optional<float>(), std::optional<float>(0.5f)}) {
      options.max_distance = cut;
      auto many = db->search_many(queries, options);
      ASSERT_TRUE(many.ok());
      for (size_t q = 0; q < queries.size(); ++q) {
        auto one = db->search(queries.row(q), 12, options);
        ASSERT_TRUE(one.ok());
        ASSERT_EQ(many.value()[q].size(), one.value().size());
        for (size_t i = 0; i < one.value().size(); ++i) {
          EXPECT_EQ(many.value()[q][i].id, one.value()[i].id);
          EXPECT_EQ(std::bit_cast<uint32_t>(many.value()[q][i].distance),
                    std::bit_cast<uint32_t>(one.value()[i].distance));
        }
      }
    }
  }
}

}  // namespace
}  // namespace kelpo
