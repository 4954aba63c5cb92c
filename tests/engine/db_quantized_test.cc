// Quantized traversal through the database: switching it on and off, the
// statistics, filtered searches over the codes, and how the quantizer file
// carries it across saves, reopenings and compaction.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/metadata/filter.h"
#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::file_size;
using testing_util::open_db;
using testing_util::random_batch;
using testing_util::random_vector;
using testing_util::ScratchDir;

std::vector<std::string> numbered(size_t n, size_t from = 0) {
  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) ids.push_back("v" + std::to_string(from + i));
  return ids;
}

TEST(DatabaseQuantized, SwitchingAndStatistics) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 6, Metric::kCosine);
  db->enable_quantized_search();
  EXPECT_FALSE(db->quantized_search());  // empty: stays off
  EXPECT_FALSE(db->stats().uses_quantized_search);

  std::mt19937 rng(1);
  ASSERT_TRUE(db->add_many(numbered(40), random_batch(rng, 40, 6), {}).ok());
  db->enable_quantized_search();
  EXPECT_TRUE(db->quantized_search());
  DatabaseStats st = db->stats();
  EXPECT_TRUE(st.uses_quantized_search);
  EXPECT_EQ(st.memory_quantized_bytes, 8u * 6 + 40 * 6);
  ASSERT_TRUE(db->add("late", random_vector(rng, 6), std::nullopt).ok());
  EXPECT_EQ(db->stats().memory_quantized_bytes, 8u * 6 + 41 * 6);

  // Small collections are scanned exactly; the codes change nothing there.
  const std::vector<float> q = random_vector(rng, 6);
  auto hits = db->search(q.data(), q.size(), SearchOptions{});
  ASSERT_TRUE(hits.ok());
  EXPECT_EQ(hits->size(), 10u);

  db->disable_quantized_search();
  st = db->stats();
  EXPECT_FALSE(st.uses_quantized_search);
  EXPECT_EQ(st.memory_quantized_bytes, 0u);
}

// Enough floats for the graph path in few records.
constexpr size_t kDim = 20000, kCount = 520;

TEST(DatabaseQuantized, GraphSearchesReportExactDistancesAndHonourFilters) {
  ScratchDir dir;
  auto db = open_db(dir.path(), kDim, Metric::kEuclidean, DatabaseConfig{8, 40, false});
  std::mt19937 rng(3);
  std::vector<std::optional<Json>> meta;
  for (size_t i = 0; i < kCount; ++i) meta.push_back(Json{{"g", static_cast<int>(i % 4)}});
  ASSERT_TRUE(db->add_many(numbered(kCount), random_batch(rng, kCount, kDim), meta).ok());
  ASSERT_FALSE(db->stats().uses_brute_force);
  db->enable_quantized_search();

  const std::vector<float> q = random_vector(rng, kDim);
  const Filter not_zero = Filter::ne("g", Json(0));  // not answered by the metadata index
  for (const Filter* filter : {static_cast<const Filter*>(nullptr), &not_zero}) {
    SearchOptions options;
    options.k = 15;
    options.filter = filter;
    auto hits = db->search(q.data(), q.size(), options);
    ASSERT_TRUE(hits.ok());
    ASSERT_EQ(hits->size(), 15u);
    for (size_t j = 0; j < hits->size(); ++j) {
      const SearchHit& h = (*hits)[j];
      const std::vector<float> v = db->get(h.id)->first;
      EXPECT_EQ(h.distance, distance(q.data(), v.data(), kDim, Metric::kEuclidean));
      if (j > 0) {
        EXPECT_LE((*hits)[j - 1].distance, h.distance);
      }
      if (filter) {
        EXPECT_NE(h.metadata->at("g"), 0);
      }
    }
  }
}

TEST(DatabaseQuantized, QuantizerFileFollowsQuantizeOnSave) {
  ScratchDir dir;
  const size_t dim = 5;
  std::mt19937 rng(4);
  {
    auto db = open_db(dir.path(), dim, Metric::kEuclidean, DatabaseConfig{16, 200, true});
    ASSERT_TRUE(db->add_many(numbered(30), random_batch(rng, 30, dim), {}).ok());
    EXPECT_FALSE(db->quantized_search());  // creating with quantize does not switch it on
    ASSERT_TRUE(db->save().ok());
    EXPECT_FALSE(db->quantized_search());  // nor does saving
    EXPECT_EQ(file_size(dir.file("vectors.sq8")), static_cast<off_t>(4 + 8 * dim + 30 * dim));
  }
  {
    // Opening a directory with the file switches it on and keeps it on save.
    auto db = Database::open(dir.path());
    ASSERT_TRUE(db.ok());
    EXPECT_TRUE((*db)->quantized_search());
    EXPECT_EQ((*db)->stats().memory_quantized_bytes, 8u * dim + 30 * dim);
    ASSERT_TRUE((*db)->add("w", random_vector(rng, dim), std::nullopt).ok());
    ASSERT_TRUE((*db)->remove("v0").ok());
    ASSERT_TRUE((*db)->compact().ok());  // a fresh quantizer over the 30 live vectors
    EXPECT_EQ((*db)->stats().memory_quantized_bytes, 8u * dim + 30 * dim);
    ASSERT_TRUE((*db)->save().ok());
  }
  EXPECT_EQ(file_size(dir.file("vectors.sq8")), static_cast<off_t>(4 + 8 * dim + 30 * dim));
}

TEST(DatabaseQuantized, QuantizeAskedOnReopenTakesEffectAtTheNextSave) {
  ScratchDir dir;
  std::mt19937 rng(5);
  {
    auto db = open_db(dir.path(), 3);
    ASSERT_TRUE(db->add_many(numbered(10), random_batch(rng, 10, 3), {}).ok());
    ASSERT_TRUE(db->save().ok());
  }
  EXPECT_LT(file_size(dir.file("vectors.sq8")), 0);
  {
    auto db = open_db(dir.path(), 3, Metric::kEuclidean, DatabaseConfig{16, 200, true});
    EXPECT_FALSE(db->quantized_search());
    ASSERT_TRUE(db->save().ok());
  }
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db.ok());
  EXPECT_TRUE((*db)->quantized_search());
}

// A quantizer trained on no vectors has infinite scales; loading it would
// turn every later insert's codes into NaN distances. An empty database
// saved with quantize keeps traversal off on reopen and searches normally.
TEST(DatabaseQuantized, EmptySaveWithQuantizeReopensUsable) {
  ScratchDir dir;
  {
    auto db = open_db(dir.path(), 2, Metric::kEuclidean, DatabaseConfig{16, 200, true});
    ASSERT_TRUE(db->save().ok());
  }
  auto db = Database::open(dir.path());
  ASSERT_TRUE(db.ok()) << db.error().message();
  EXPECT_FALSE((*db)->quantized_search());
  ASSERT_TRUE((*db)->add("a", {1, 1}, std::nullopt).ok());
  ASSERT_TRUE((*db)->add("b", {5, 5}, std::nullopt).ok());
  const std::vector<float> q = {1, 1};
  auto hits = (*db)->search(q.data(), q.size(), SearchOptions{});
  ASSERT_TRUE(hits.ok());
  ASSERT_EQ(hits->size(), 2u);
  EXPECT_EQ((*hits)[0].id, "a");
  EXPECT_EQ((*hits)[0].distance, 0.0f);
}

TEST(DatabaseQuantized, DamagedQuantizerFileFailsTheOpen) {
  ScratchDir dir;
  std::mt19937 rng(6);
  {
    auto db = open_db(dir.path(), 4, Metric::kEuclidean, DatabaseConfig{16, 200, true});
    ASSERT_TRUE(db->add_many(numbered(8), random_batch(rng, 8, 4), {}).ok());
    ASSERT_TRUE(db->save().ok());
  }
  const std::string path = dir.file("vectors.sq8");
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  auto rewrite = [&](const std::string& b) { std::ofstream(path, std::ios::binary | std::ios::trunc) << b; };

  rewrite(bytes.substr(0, 3));
  auto short_header = Database::open(dir.path());
  ASSERT_FALSE(short_header.ok());
  EXPECT_EQ(short_header.error().message(), "io error: failed to fill whole buffer");

  rewrite(bytes.substr(0, bytes.size() - 1));  // one code short
  EXPECT_FALSE(Database::open(dir.path()).ok());

  rewrite(bytes + std::string(7, '\0'));  // extra codes are dropped
  auto longer = Database::open(dir.path());
  ASSERT_TRUE(longer.ok());
  EXPECT_TRUE((*longer)->quantized_search());
}

}  // namespace
}  // namespace kelpo
