// Several threads inside one database: writers on disjoint ids, batch writers,
// deleters and searchers. Checks that no acknowledged id is lost, counts agree
// and nothing deadlocks. Also run under ThreadSanitizer (scripts/test.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <thread>

#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

// "{prefix}{a}-{b}", built by appending (g++ 12 warns falsely about
// overlapping copies on chains of std::string operator+).
std::string name(const char* prefix, size_t a, size_t b) {
  std::string s(prefix);
  s += std::to_string(a);
  s += '-';
  s += std::to_string(b);
  return s;
}

using testing_util::open_db;
using testing_util::random_batch;
using testing_util::random_vector;
using testing_util::ScratchDir;

TEST(DatabaseConcurrency, WritersAndReadersAgreeAndReplayMatches) {
  ScratchDir dir;
  constexpr size_t kDim = 16, kWriters = 3, kPerWriter = 150;
  std::vector<std::string> expected;
  {
    auto db = open_db(dir.path(), kDim);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (size_t w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        std::mt19937 rng(static_cast<unsigned>(w));
        for (size_t i = 0; i < kPerWriter; ++i) {
          const std::string id = name("w", w, i);
          Json m = {{"writer", static_cast<int>(w)}};
          ASSERT_TRUE(db->add(id, random_vector(rng, kDim), m).ok());
          if (i % 5 == 4) {
            ASSERT_TRUE(db->remove(id).value());
          }
          if (i % 7 == 0) {
            ASSERT_TRUE(db->upsert(id + "u", random_vector(rng, kDim), std::nullopt).ok());
          }
        }
      });
    }
    threads.emplace_back([&] {  // a batch writer racing on its own ids
      std::mt19937 rng(99);
      for (int b = 0; b < 5; ++b) {
        std::vector<std::string> ids;
        for (int i = 0; i < 40; ++i) ids.push_back(name("b", b, i));
        ASSERT_TRUE(db->add_many(ids, random_batch(rng, ids.size(), kDim), {}).ok());
        ASSERT_EQ(db->delete_many({ids[0], ids[1]}).value(), 2u);
      }
    });
    // Saves and compactions racing with the writers: no write acknowledged
    // around them may be lost (checked by the reopen at the end).
    threads.emplace_back([&] {
      for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(db->save().ok());
        ASSERT_TRUE(db->compact().ok());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
      readers.emplace_back([&, r] {
        std::mt19937 rng(1000 + r);
        const Filter f = Filter::eq("writer", 1);
        while (!stop.load()) {
          auto q = random_vector(rng, kDim);
          SearchOptions opt;
          opt.filter = (r == 0) ? &f : nullptr;
          auto hits = db->search(q.data(), kDim, opt);
          ASSERT_TRUE(hits.ok());
          for (const auto& h : hits.value()) ASSERT_FALSE(h.id.empty());
          (void)db->count(&f);
          (void)db->stats();
          VectorBatch qs = random_batch(rng, 4, kDim);
          ASSERT_TRUE(db->search_many(qs, opt).ok());
        }
      });
    }
    for (auto& t : threads) t.join();
    stop.store(true);
    for (auto& t : readers) t.join();

    for (size_t w = 0; w < kWriters; ++w) {
      for (size_t i = 0; i < kPerWriter; ++i) {
        const std::string id = name("w", w, i);
        if (i % 5 != 4) expected.push_back(id);
        if (i % 7 == 0) expected.push_back(id + "u");
      }
    }
    for (int b = 0; b < 5; ++b) {
      for (int i = 2; i < 40; ++i) expected.push_back(name("b", b, i));
    }
    std::sort(expected.begin(), expected.end());
    auto ids = db->ids();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(db->count(nullptr), expected.size());
    EXPECT_EQ(db->total_slots() - db->deleted_count(), expected.size());
  }
  auto reopened = open_db(dir.path(), kDim);
  auto ids = reopened->ids();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, expected);
}

// Writers doing random single and batch writes on their own ids, each against
// its own model, while compactions, saves and searches run. Every compaction
// rebuilds beside the live index and catches up on the writes made meanwhile;
// the end state (and the reopened one) must be exactly the models' union:
// nothing acknowledged lost, nothing deleted back, vectors bit for bit,
// metadata and the metadata index exact.
TEST(DatabaseConcurrency, CompactionDuringRandomWritesMatchesModel) {
  using testing_util::Snapshot;
  ScratchDir dir;
  constexpr size_t kDim = 8, kWriters = 3, kOps = 260, kIdsPerWriter = 120;
  std::vector<Snapshot> models(kWriters);
  std::atomic<int> compactions{0};
  {
    auto db = open_db(dir.path(), kDim);
    std::atomic<int> writers_left{static_cast<int>(kWriters)};
    std::vector<std::thread> threads;
    for (size_t w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        // Counts the writer out however it leaves (a failed ASSERT returns).
        struct Leave {
          std::atomic<int>& n;
          ~Leave() { --n; }
        } leave{writers_left};
        std::mt19937 rng(static_cast<unsigned>(7 + w));
        Snapshot& model = models[w];
        auto pick = [&] { return name("r", w, rng() % kIdsPerWriter); };
        auto meta = [&]() -> std::optional<Json> {
          if (rng() % 4 == 0) return std::nullopt;
          return Json{{"g", static_cast<int>(rng() % 3)}, {"w", static_cast<int>(w)}};
        };
        for (size_t op = 0; op < kOps; ++op) {
          const std::string id = pick();
          const bool live = model.count(id) != 0;
          switch (rng() % 7) {
            case 0: {
              auto v = random_vector(rng, kDim);
              auto m = meta();
              Status s = db->add(id, v, m);
              ASSERT_EQ(s.ok(), !live);
              if (!live) model[id] = {v, m};
              break;
            }
            case 1: {
              auto v = random_vector(rng, kDim);
              auto m = meta();
              ASSERT_TRUE(db->upsert(id, v, m).ok());
              model[id] = {v, m};
              break;
            }
            case 2: {
              std::optional<std::vector<float>> v;
              if (rng() % 2) v = random_vector(rng, kDim);
              std::optional<Json> m;
              if (rng() % 2) m = Json{{"g", static_cast<int>(rng() % 3)}};
              ASSERT_EQ(db->update(id, v, m).ok(), live);
              if (live && v) model[id].first = *v;
              if (live && m) model[id].second = m;
              break;
            }
            case 3:
              ASSERT_EQ(db->remove(id).value(), live);
              model.erase(id);
              break;
            case 4:
            case 5: {  // upsert_many (ids may repeat: the last wins), or add_many of absent ids
              const bool add = rng() % 2;
              std::vector<std::string> ids;
              for (size_t i = 0, n = 1 + rng() % 40; i < n; ++i) {
                std::string b = pick();
                if (add && (model.count(b) || std::find(ids.begin(), ids.end(), b) != ids.end())) continue;
                ids.push_back(b);
              }
              VectorBatch vs = random_batch(rng, ids.size(), kDim);
              std::vector<std::optional<Json>> ms;
              for (size_t i = 0; i < ids.size(); ++i) ms.push_back(meta());
              const auto copy = ms;
              ASSERT_TRUE((add ? db->add_many(ids, vs, ms) : db->upsert_many(ids, vs, ms)).ok());
              for (size_t i = 0; i < ids.size(); ++i) {
                model[ids[i]] = {std::vector<float>(vs.row(i), vs.row(i) + kDim), copy[i]};
              }
              break;
            }
            default: {
              std::vector<std::string> ids;
              size_t expected = 0;
              for (size_t i = 0, n = 1 + rng() % 30; i < n; ++i) ids.push_back(pick());
              for (const auto& b : ids) expected += model.erase(b);
              ASSERT_EQ(db->delete_many(ids).value(), expected);
            }
          }
        }
      });
    }
    threads.emplace_back([&] {  // compactions back to back, a save now and then
      for (int i = 0; writers_left.load() > 0; ++i) {
        ASSERT_TRUE(db->compact().ok());
        ++compactions;
        if (i % 3 == 2) {
          ASSERT_TRUE(db->save().ok());
        }
      }
    });
    threads.emplace_back([&] {  // a second compactor racing the first
      while (writers_left.load() > 0) {
        ASSERT_TRUE(db->compact().ok());
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
      }
    });
    threads.emplace_back([&] {  // searches run on throughout
      std::mt19937 rng(5);
      const Filter f = Filter::eq("g", 1);
      while (writers_left.load() > 0) {
        SearchOptions opt;
        opt.filter = (rng() % 2) ? &f : nullptr;
        auto q = random_vector(rng, kDim);
        auto hits = db->search(q.data(), kDim, opt);
        ASSERT_TRUE(hits.ok());
        for (const auto& h : hits.value()) ASSERT_FALSE(h.id.empty());
      }
    });
    for (auto& t : threads) t.join();
    EXPECT_GT(compactions.load(), 1);

    Snapshot expected;
    for (const auto& m : models) expected.insert(m.begin(), m.end());
    auto check = [&](const Database& d) {
      EXPECT_TRUE(testing_util::snapshot(d) == expected);
      for (int g = 0; g < 3; ++g) {  // the metadata index agrees with the records
        const Filter f = Filter::eq("g", g);
        size_t want = 0;
        for (const auto& [id, rec] : expected) want += rec.second && json_equal((*rec.second)["g"], Json(g));
        EXPECT_EQ(d.count(&f), want) << "g=" << g;
      }
    };
    check(*db);
    ASSERT_TRUE(db->compact().ok());  // one more, with writers stopped
    check(*db);
    EXPECT_EQ(db->deleted_count(), 0u);
  }
  // The log (since the last save) replays over the saved, compacted state.
  auto reopened = open_db(dir.path(), kDim);
  Snapshot expected;
  for (const auto& m : models) expected.insert(m.begin(), m.end());
  EXPECT_TRUE(testing_util::snapshot(*reopened) == expected);
}

TEST(DatabaseConcurrency, RacingAddsOfOneIdLeaveExactlyOneRecord) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 4);
  for (int round = 0; round < 20; ++round) {
    const std::string id = "same" + std::to_string(round);
    std::atomic<int> wins{0}, dups{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
      ts.emplace_back([&] {
        Status s = db->add(id, {1, 2, 3, 4}, std::nullopt);
        if (s.ok()) {
          ++wins;
        } else if (s.error().kind() == ErrorKind::kDuplicateId) {
          ++dups;
        }
      });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(wins.load(), 1);
    EXPECT_EQ(dups.load(), 3);
  }
  EXPECT_EQ(db->total_slots(), 20u);
  // The losers logged nothing: replay gives the same 20 slots.
  auto again = open_db(dir.path(), 4);
  EXPECT_EQ(again->total_slots(), 20u);
}

// One writer adds new records (single adds, upserts of new ids, small
// batches; now and then a delete and a compaction) while readers search with
// and without a filter. New records are linked beside the searches, so every
// hit is checked against what its id was written with: a search may or may
// not see a record being added, but one it returns must be whole (its id,
// its metadata, the exact distance of its vector) and must match the filter.
TEST(DatabaseConcurrency, AddsBesideSearchesOnlyEverReturnWholeRecords) {
  ScratchDir dir;
  constexpr size_t kDim = 12, kRecords = 500;
  auto vector_of = [](size_t i) {
    std::mt19937 rng(static_cast<unsigned>(i));
    return random_vector(rng, kDim);
  };
  auto metadata_of = [](size_t i) -> std::optional<Json> {
    if (i % 4 == 0) return std::nullopt;
    if (i % 4 == 1) return Json(static_cast<int>(i));  // not an object: never indexed
    return Json{{"g", static_cast<int>(i % 3)}, {"i", static_cast<int>(i)}};
  };
  auto number_of = [](const std::string& id) { return static_cast<size_t>(std::stoul(id.substr(1))); };
  auto db = open_db(dir.path(), kDim);
  std::atomic<bool> done{false};
  std::atomic<size_t> hits_checked{0};
  std::vector<std::string> expected;
  std::thread writer([&] {
    std::mt19937 rng(5);
    for (size_t i = 0; i < kRecords;) {
      const int op = static_cast<int>(rng() % 10);
      if (op < 4) {
        ASSERT_TRUE(db->add("n" + std::to_string(i), vector_of(i), metadata_of(i)).ok());
        expected.push_back("n" + std::to_string(i++));
      } else if (op < 7) {
        ASSERT_TRUE(db->upsert("n" + std::to_string(i), vector_of(i), metadata_of(i)).ok());
        expected.push_back("n" + std::to_string(i++));
      } else if (op < 9) {
        std::vector<std::string> ids;
        VectorBatch batch;
        std::vector<std::optional<Json>> metas;
        for (size_t b = 1 + rng() % 6; b > 0 && i < kRecords; --b, ++i) {
          ids.push_back("n" + std::to_string(i));
          const std::vector<float> v = vector_of(i);
          batch.push_back(v.data(), v.size());
          metas.push_back(metadata_of(i));
        }
        ASSERT_TRUE(db->add_many(ids, batch, metas).ok());
        expected.insert(expected.end(), ids.begin(), ids.end());
      } else if (!expected.empty()) {
        const size_t at = rng() % expected.size();
        ASSERT_TRUE(db->remove(expected[at]).value());
        expected.erase(expected.begin() + static_cast<ptrdiff_t>(at));
      }
      if (i % 200 == 199) {
        ASSERT_TRUE(db->compact().ok());
      }
    }
    done = true;
  });
  auto reader = [&](unsigned seed) {
    std::mt19937 rng(seed);
    const DistanceFunction fn(Metric::kEuclidean);
    const Filter g1 = Filter::eq("g", 1);
    while (!done.load()) {
      const std::vector<float> q = random_vector(rng, kDim);
      SearchOptions opt;
      opt.k = 1 + rng() % 12;
      opt.filter = rng() % 2 ? &g1 : nullptr;
      std::vector<std::vector<SearchHit>> results;
      if (rng() % 3 == 0) {
        VectorBatch qs;
        qs.push_back(q.data(), q.size());
        qs.push_back(q.data(), q.size());
        auto many = db->search_many(qs, opt);
        ASSERT_TRUE(many.ok());
        results = std::move(many.value());
      } else {
        auto one = db->search(q.data(), kDim, opt);
        ASSERT_TRUE(one.ok());
        results.push_back(std::move(one.value()));
      }
      for (const auto& hits : results) {
        ASSERT_LE(hits.size(), opt.k);
        std::set<std::string> seen;
        for (size_t h = 0; h < hits.size(); ++h) {
          const SearchHit& hit = hits[h];
          ASSERT_TRUE(hit.id.size() > 1 && hit.id[0] == 'n') << "'" << hit.id << "'";
          ASSERT_TRUE(seen.insert(hit.id).second) << hit.id;
          const size_t i = number_of(hit.id);
          const std::vector<float> v = vector_of(i);
          const float want = fn(q.data(), v.data(), kDim);
          ASSERT_NEAR(hit.distance, want, 1e-4f * (1.0f + std::fabs(want))) << hit.id;
          ASSERT_EQ(hit.metadata ? std::optional<Json>(*hit.metadata) : std::nullopt, metadata_of(i)) << hit.id;
          if (opt.filter) {
            ASSERT_EQ((*hit.metadata)["g"], 1) << hit.id;
          }
          if (h > 0) {
            ASSERT_LE(hits[h - 1].distance, hit.distance);
          }
          ++hits_checked;
        }
      }
    }
  };
  std::thread r1(reader, 71u), r2(reader, 72u);
  writer.join();
  r1.join();
  r2.join();
  EXPECT_GT(hits_checked.load(), 0u);
  std::sort(expected.begin(), expected.end());
  auto ids = db->ids();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, expected);
  for (const std::string& id : expected) {
    auto got = db->get(id);
    ASSERT_TRUE(got.ok()) << id;
    EXPECT_EQ(got.value().first, vector_of(number_of(id))) << id;
    EXPECT_EQ(got.value().second, metadata_of(number_of(id))) << id;
  }
  db.reset();
  auto reopened = open_db(dir.path(), kDim);
  ids = reopened->ids();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, expected);
}

}  // namespace
}  // namespace kelpo
