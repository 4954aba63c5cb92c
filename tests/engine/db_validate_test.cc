// Non-finite vectors: refused on the way in, ranked last when an older log or
// file still holds one.
#include <cmath>
#include <limits>
#include <random>

#include "engine/wal/wal.h"
#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::open_db;
using testing_util::random_vector;
using testing_util::ScratchDir;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(DatabaseValidate, RefusesNonFiniteBeforeLogging) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 3);
  ASSERT_TRUE(db->add("a", {1, 2, 3}, std::nullopt).ok());
  const std::vector<float> bad = {0, std::numeric_limits<float>::infinity(), 0};
  Status s = db->add("b", bad, std::nullopt);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "invalid vector: component 1 is not finite");
  EXPECT_FALSE(db->update("a", std::vector<float>{kNaN, 0, 0}, std::nullopt).ok());
  VectorBatch batch = VectorBatch::uniform(2, 3);
  batch.data[5] = -std::numeric_limits<float>::infinity();
  s = db->upsert_many({"c", "d"}, batch, {});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "invalid vector: id 'd', component 2 is not finite");
  auto searched = db->search_many(batch, {});
  ASSERT_FALSE(searched.ok());
  EXPECT_EQ(searched.error().message(), "invalid vector: row 1, component 2 is not finite");
  db.reset();
  db = open_db(dir.path(), 3);
  EXPECT_EQ(db->ids(), std::vector<std::string>{"a"});
  EXPECT_EQ(db->get("a").value().first, (std::vector<float>{1, 2, 3}));
}

// A log written before vectors were checked may hold NaN components; it still
// replays, and every result list stays ascending with NaN distances last.
TEST(DatabaseValidate, NanFromAnOlderLogRanksLast) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    ScratchDir dir;
    const size_t dim = 4, n = 40;
    {
      Wal wal(dir.file("wal.kelpo"));
      WalBatch batch;
      const Json tag = Json::object({{"t", 1}});
      for (size_t i = 0; i < n; ++i) {
        std::vector<float> v = random_vector(rng, dim);
        if (rng() % 3 == 0) v[rng() % dim] = kNaN;
        batch.add_insert("r" + std::to_string(i), v.data(), dim, i % 2 ? &tag : nullptr);
      }
      ASSERT_TRUE(wal.append(batch).ok());
    }
    auto db = open_db(dir.path(), dim);
    ASSERT_EQ(db->ids().size(), n);
    const Filter tagged = Filter::eq("t", Json(1));
    for (const Filter* f : {static_cast<const Filter*>(nullptr), &tagged}) {
      SearchOptions opt;
      opt.k = 1 + rng() % n;
      opt.filter = f;
      const std::vector<float> q = random_vector(rng, dim);
      auto hits = db->search(q.data(), dim, opt);
      ASSERT_TRUE(hits.ok());
      bool seen_nan = false;
      for (size_t i = 0; i < hits->size(); ++i) {
        const float d = (*hits)[i].distance;
        if (std::isnan(d)) {
          seen_nan = true;
          continue;
        }
        EXPECT_FALSE(seen_nan) << "a number after a NaN distance";
        if (i > 0) {
          EXPECT_LE((*hits)[i - 1].distance, d);
        }
      }
    }
  }
}

}  // namespace
}  // namespace kelpo
