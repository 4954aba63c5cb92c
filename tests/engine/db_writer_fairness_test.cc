// Writers beside a stream of overlapping searches. The reader-writer locks
// prefer writers, so a waiting writer blocks new readers; this checks that a
// writer finishes while searchers never pause (with reader preference it
// could wait indefinitely), and, under the thread sanitizer, that no read path
// takes a shared lock it already holds (that would deadlock behind a waiting
// writer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::open_db;
using testing_util::random_batch;
using testing_util::random_vector;
using testing_util::ScratchDir;

TEST(WriterFairnessConcurrency, WritesFinishWhileSearchesNeverPause) {
  ScratchDir dir;
  constexpr size_t kDim = 8, kSearchers = 4, kWrites = 300;
  auto db = open_db(dir.path(), kDim);
  std::mt19937 seed_rng(5);
  std::vector<std::string> seed_ids;
  for (int i = 0; i < 200; ++i) seed_ids.push_back("s" + std::to_string(i));
  const Json tag = {{"t", 1}};
  ASSERT_TRUE(db->add_many(seed_ids, random_batch(seed_rng, seed_ids.size(), kDim),
                           std::vector<std::optional<Json>>(seed_ids.size(), tag))
                  .ok());

  std::atomic<bool> writer_done{false};
  std::atomic<size_t> searches{0};
  std::vector<std::thread> searchers;
  for (size_t t = 0; t < kSearchers; ++t) {
    searchers.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      const Filter f = Filter::eq("t", 1);
      // Every read path, in turns that overlap across the threads.
      while (!writer_done.load()) {
        const std::vector<float> q = random_vector(rng, kDim);
        SearchOptions opt;
        opt.filter = (t % 2) ? &f : nullptr;
        ASSERT_TRUE(db->search(q.data(), kDim, opt).ok());
        ASSERT_TRUE(db->search_many(random_batch(rng, 3, kDim), opt).ok());
        (void)db->count(&f);
        (void)db->contains("s1");
        (void)db->get("s2");
        (void)db->stats();
        (void)db->quantized_search();
        searches.fetch_add(1);
      }
    });
  }
  std::mt19937 rng(9);
  for (size_t i = 0; i < kWrites; ++i) {
    const std::string id = "w" + std::to_string(i);
    ASSERT_TRUE(db->add(id, random_vector(rng, kDim), tag).ok());
    if (i % 10 == 0) {
      ASSERT_TRUE(db->update(id, std::nullopt, Json{{"t", 2}}).ok());
    }
    if (i % 25 == 0) {
      ASSERT_TRUE(db->remove(id).value());
    }
    if (i % 100 == 50) {
      ASSERT_TRUE(db->save().ok());
      ASSERT_TRUE(db->compact().ok());
    }
  }
  writer_done.store(true);
  for (auto& t : searchers) t.join();
  EXPECT_GT(searches.load(), 0u);
  EXPECT_EQ(db->count(nullptr), 200 + kWrites - kWrites / 25);
}

}  // namespace
}  // namespace kelpo
