// The search path: exact and graph paths, filters, deletions, the cut-off and
// parallel batches.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <tuple>

#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::open_db;
using testing_util::random_batch;
using testing_util::random_vector;
using testing_util::ScratchDir;

// Brute-force k nearest among the records `keep` accepts, by id.
std::vector<std::string> reference(const Database& db, const std::vector<float>& q, size_t k,
                                   const std::function<bool(const std::string&, const std::optional<Json>&)>& keep) {
  std::vector<std::pair<float, std::string>> all;
  for (const std::string& id : db.ids()) {
    auto rec = db.get(id).value();
    if (!keep(id, rec.second)) continue;
    all.emplace_back(distance(q.data(), rec.first.data(), q.size(), db.metric()), id);
  }
  std::sort(all.begin(), all.end());
  std::vector<std::string> out;
  for (size_t i = 0; i < std::min(k, all.size()); ++i) out.push_back(all[i].second);
  return out;
}

double overlap(const std::vector<SearchHit>& hits, const std::vector<std::string>& truth) {
  std::set<std::string> t(truth.begin(), truth.end());
  size_t n = 0;
  for (const auto& h : hits) n += t.count(h.id);
  return truth.empty() ? 1.0 : static_cast<double>(n) / truth.size();
}

TEST(DatabaseSearch, EmptyDatabaseAndDimensionMismatch) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 3);
  const float q[] = {1, 2, 3};
  EXPECT_TRUE(db->search(q, 3, {}).value().empty());
  VectorBatch two = VectorBatch::uniform(2, 3);
  auto many = db->search_many(two, {}).value();
  EXPECT_EQ(many.size(), 2u);
  EXPECT_TRUE(many[0].empty() && many[1].empty());
  EXPECT_EQ(db->search(q, 2, {}).error().message(), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(default_ef(10), 200u);
  EXPECT_EQ(default_ef(101), 201u);
  EXPECT_EQ(default_ef(150), 272u);
  EXPECT_EQ(default_ef(1000), 1316u);
}

TEST(DatabaseSearch, ExactPathFiltersCutOffAndBatchesAgree) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 8);
  std::mt19937 rng(3);
  const size_t n = 300;
  VectorBatch vecs = random_batch(rng, n, 8);
  std::vector<std::string> ids;
  std::vector<std::optional<Json>> metas;
  for (size_t i = 0; i < n; ++i) {
    ids.push_back("v" + std::to_string(i));
    metas.push_back(Json{{"genre", i % 3 == 0 ? "rock" : "pop"}, {"price", static_cast<int>(i % 50)}});
  }
  ASSERT_TRUE(db->add_many(ids, vecs, metas).ok());

  const std::vector<float> q = random_vector(rng, 8);
  const Filter rock_cheap = Filter::combine({Filter::eq("genre", "rock"), Filter::gt("price", 10)});
  SearchOptions opt;
  opt.k = 7;
  opt.filter = &rock_cheap;
  auto hits = db->search(q.data(), 8, opt).value();
  auto truth = reference(*db, q, 7, [](const std::string&, const std::optional<Json>& m) {
    return (*m)["genre"] == "rock" && (*m)["price"].get<int>() > 10;
  });
  ASSERT_EQ(hits.size(), truth.size());
  for (size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i].id, truth[i]);
  EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(),
                             [](const SearchHit& a, const SearchHit& b) { return a.distance < b.distance; }));
  // count agrees with what the filter admits.
  size_t admitted = 0;
  for (size_t i = 0; i < n; ++i) admitted += (i % 3 == 0 && i % 50 > 10);
  EXPECT_EQ(db->count(&rock_cheap), admitted);

  // The cut-off keeps hits at exactly max_distance.
  opt.max_distance = hits[2].distance;
  auto cut = db->search(q.data(), 8, opt).value();
  EXPECT_EQ(cut.size(), 3u);

  // search_many gives each query what search gives it, in query order.
  VectorBatch queries = random_batch(rng, 20, 8);
  opt.max_distance.reset();
  auto batch = db->search_many(queries, opt).value();
  for (size_t i = 0; i < queries.size(); ++i) {
    auto single = db->search(queries.row(i), 8, opt).value();
    ASSERT_EQ(batch[i].size(), single.size());
    for (size_t j = 0; j < single.size(); ++j) EXPECT_EQ(batch[i][j].id, single[j].id);
  }
  const Filter none = Filter::eq("genre", "jazz");
  opt.filter = &none;
  EXPECT_TRUE(db->search(q.data(), 8, opt).value().empty());
}

// A scan of long rows stops measuring a row once part of it is already
// farther than the k-th nearest so far (when the set is larger than a cache,
// as each filter's is here). Around each query lie rows that differ
// from it by about as much, in their first, middle or last values, some of
// them exact copies of each other (ties), among rows far from all: the k nearest
// must be exactly those of whole-row distances, each reported with its
// whole-row distance, under filters that keep or exclude the query's own
// rows.
TEST(DatabaseSearch, ExactScanOfLongRowsKeepsTheWholeRowAnswer) {
  constexpr size_t kDim = 2000, kQueries = 8, kAround = 40, kFar = 800;
  ScratchDir dir;
  auto db = open_db(dir.path(), kDim);
  std::mt19937 rng(17);
  std::normal_distribution<float> g;
  std::uniform_real_distribution<float> scale(1.0f, 2.0f);
  std::uniform_int_distribution<size_t> where(0, kDim - 100);
  VectorBatch queries = random_batch(rng, kQueries, kDim);
  for (float& x : queries.data) x *= 10.0f;
  // Rows in random order, so the scan meets near and far ones mixed.
  std::vector<int> owner(kFar, -1);
  for (size_t t = 0; t < kQueries; ++t) owner.insert(owner.end(), kAround, static_cast<int>(t));
  std::shuffle(owner.begin(), owner.end(), rng);
  VectorBatch vecs;
  std::vector<std::optional<Json>> metas;
  std::vector<std::string> ids;
  std::vector<size_t> last(kQueries, SIZE_MAX);
  for (const int t : owner) {
    const size_t i = vecs.size();
    std::vector<float> row(kDim);
    if (t < 0) {
      for (float& x : row) x = 10.0f * g(rng);
    } else if (i % 8 == 0 && last[t] != SIZE_MAX) {
      row.assign(vecs.row(last[t]), vecs.row(last[t]) + kDim);  // a tie
    } else {
      row.assign(queries.row(t), queries.row(t) + kDim);
      const size_t at = i % 3 == 0 ? 0 : i % 3 == 1 ? where(rng) : kDim - 100;
      const float s = scale(rng);
      for (size_t j = at; j < at + 100; ++j) row[j] += s * g(rng);
    }
    if (t >= 0) last[t] = i;
    vecs.push_back(row.data(), kDim);
    ids.push_back("v" + std::to_string(i));
    metas.push_back(Json{{"q", t}, {"r", static_cast<int>(i % 4)}});
  }
  ASSERT_TRUE(db->add_many(ids, vecs, metas).ok());
  ASSERT_TRUE(db->stats().uses_brute_force);

  for (size_t t = 0; t < kQueries; ++t) {
    const int own = static_cast<int>(t);
    const Filter filters[] = {Filter::eq("r", 1), Filter::lt("r", 3), Filter::ne("q", own),
                              Filter::in("q", {Json(own), Json(-1)})};
    for (const Filter& filter : filters) {
      std::vector<float> want;
      for (size_t i = 0; i < vecs.size(); ++i) {
        if (matches(filter, &*metas[i])) want.push_back(distance(queries.row(t), vecs.row(i), kDim, Metric::kEuclidean));
      }
      std::sort(want.begin(), want.end());
      want.resize(std::min<size_t>(want.size(), 10));
      SearchOptions opt;
      opt.k = 10;
      opt.filter = &filter;
      const auto hits = db->search(queries.row(t), kDim, opt).value();
      ASSERT_EQ(hits.size(), want.size()) << "query " << t;
      for (size_t h = 0; h < hits.size(); ++h) {
        EXPECT_EQ(hits[h].distance, want[h]) << "query " << t;
        const size_t i = std::stoul(hits[h].id.substr(1));
        EXPECT_TRUE(matches(filter, &*metas[i]));
        EXPECT_EQ(hits[h].distance, distance(queries.row(t), vecs.row(i), kDim, Metric::kEuclidean));
      }
    }
  }
}

// Large enough for the graph path (live * dim >= 10M floats) yet cheap to
// build: few, very long vectors and a small construction beam.
class GraphPathSearch : public ::testing::Test {
 protected:
  static constexpr size_t kDim = 4000, kN = 2600;
  void SetUp() override {
    DatabaseConfig cfg;
    cfg.m = 8;
    cfg.ef_construction = 40;
    db_ = open_db(dir_.path(), kDim, Metric::kEuclidean, cfg);
    std::mt19937 rng(5);
    VectorBatch vecs = random_batch(rng, kN, kDim);
    // "near": each record's rank by distance from a probe point, over kN, so
    // filters on it follow or oppose the neighbourhood of queries close to
    // the probe; "r": uniform, independent of everything.
    const std::vector<float> probe = random_vector(rng, kDim);
    std::vector<std::pair<float, size_t>> by_distance;
    for (size_t i = 0; i < kN; ++i) by_distance.emplace_back(distance(probe.data(), vecs.row(i), kDim, Metric::kEuclidean), i);
    std::sort(by_distance.begin(), by_distance.end());
    std::vector<double> near(kN);
    for (size_t r = 0; r < kN; ++r) near[by_distance[r].second] = static_cast<double>(r) / kN;
    std::uniform_real_distribution<double> uni(0.0, 1.0);
    std::vector<std::string> ids;
    std::vector<std::optional<Json>> metas;
    for (size_t i = 0; i < kN; ++i) {
      ids.push_back("v" + std::to_string(i));
      metas.push_back(Json{{"bucket", static_cast<int>(i % 100)},
                           {"score", static_cast<double>(i % 20)},
                           {"near", near[i]},
                           {"decile", static_cast<int>(near[i] * 10)},
                           {"r", uni(rng)}});
    }
    ASSERT_TRUE(db_->add_many(ids, vecs, metas).ok());
    ASSERT_FALSE(db_->stats().uses_brute_force);
    query_ = random_vector(rng, kDim);
    for (size_t q = 0; q < 4; ++q) {
      std::vector<float> v = random_vector(rng, kDim);
      for (size_t j = 0; j < kDim; ++j) v[j] = probe[j] + 0.3f * v[j];
      near_probe_.push_back(std::move(v));
    }
  }
  std::vector<std::vector<float>> near_probe_;
  ScratchDir dir_;
  std::unique_ptr<Database> db_;
  std::vector<float> query_;
};

TEST_F(GraphPathSearch, SelectiveFiltersStillReturnKNearest) {
  SearchOptions opt;
  opt.k = 10;
  // 1% of the records, answered from the metadata index.
  const Filter rare = Filter::eq("bucket", 7);
  opt.filter = &rare;
  auto hits = db_->search(query_.data(), kDim, opt).value();
  auto truth = reference(*db_, query_, 10, [](const std::string&, const std::optional<Json>& m) {
    return (*m)["bucket"].get<int>() == 7;
  });
  EXPECT_EQ(hits.size(), 10u);
  EXPECT_EQ(overlap(hits, truth), 1.0);

  // 5%, not resolvable from the index: the walk must keep going past the
  // non-matching nodes until it has k matches.
  const Filter high = Filter::gte("score", 19);
  opt.filter = &high;
  hits = db_->search(query_.data(), kDim, opt).value();
  truth = reference(*db_, query_, 10, [](const std::string&, const std::optional<Json>& m) {
    return (*m)["score"].get<double>() >= 19;
  });
  EXPECT_EQ(hits.size(), 10u);
  EXPECT_GE(overlap(hits, truth), 0.8);
  for (const auto& h : hits) EXPECT_GE((*h.metadata)["score"].get<double>(), 19);
  EXPECT_EQ(db_->count(&high), kN / 20);
}

// Filters of every kind from 5% to 90% of the records, following the
// queries' neighbourhood, independent of it, or excluding it (so the walk
// must leave the query's neighbourhood): k hits, all matching, nearly all the
// true nearest at the default beam. A narrow beam sends most of them down the
// graph walk.
TEST_F(GraphPathSearch, FilteredWalkFindsTheNearestMatchesAtEverySelectivity) {
  using Keep = std::function<bool(const Json&)>;
  const std::vector<std::tuple<const char*, Filter, Keep>> cases = {
      {"nearest decile", Filter::eq("decile", 0), [](const Json& m) { return m["decile"] == 0; }},
      {"nearest fifth", Filter::in("decile", {Json(0), Json(1)}), [](const Json& m) { return m["decile"] < 2; }},
      {"5% independent", Filter::lt("r", 0.05), [](const Json& m) { return m["r"] < 0.05; }},
      {"half independent", Filter::combine({Filter::gte("r", 0.25), Filter::lt("r", 0.75)}),
       [](const Json& m) { return m["r"] >= 0.25 && m["r"] < 0.75; }},
      {"not the nearest decile", Filter::ne("decile", 0), [](const Json& m) { return m["decile"] != 0; }},
      {"far half", Filter::gte("near", 0.5), [](const Json& m) { return m["near"] >= 0.5; }},
      {"three far deciles", Filter::in("decile", {Json(5), Json(7), Json(9)}),
       [](const Json& m) { return m["decile"] == 5 || m["decile"] == 7 || m["decile"] == 9; }},
      {"10% of the far half", Filter::combine({Filter::gte("near", 0.5), Filter::lt("r", 0.2)}),
       [](const Json& m) { return m["near"] >= 0.5 && m["r"] < 0.2; }},
  };
  for (const size_t ef : {size_t{0}, size_t{40}}) {
    for (const auto& [name, filter, keep] : cases) {
      SearchOptions opt;
      opt.k = 10;
      if (ef) opt.ef_search = ef;
      opt.filter = &filter;
      double found = 0;
      for (const auto& q : near_probe_) {
        const auto hits = db_->search(q.data(), kDim, opt).value();
        const auto truth = reference(*db_, q, 10, [&](const std::string&, const std::optional<Json>& m) {
          return keep(*m);
        });
        ASSERT_EQ(hits.size(), 10u) << name << ", ef " << ef;
        for (const auto& h : hits) ASSERT_TRUE(keep(*h.metadata)) << name;
        found += overlap(hits, truth);
      }
      // The narrow beam is there to reach the walk's structural guarantees
      // (k hits, all matching) on every filter; its recall is the beam's.
      if (ef == 0) {
        EXPECT_GE(found / near_probe_.size(), 0.9) << name;
      }
    }
  }
}

TEST_F(GraphPathSearch, ManyDeletionsDoNotShortenResults) {
  std::vector<std::string> doomed;
  for (size_t i = 0; i < kN; ++i) {
    if (i % 10 != 0 && i % 10 != 1 && i % 10 != 2) doomed.push_back("v" + std::to_string(i));
  }
  // Delete 70%; add vectors so the collection stays on the graph path.
  DatabaseStats before = db_->stats();
  ASSERT_EQ(db_->delete_many(doomed).value(), doomed.size());
  std::mt19937 rng(9);
  VectorBatch more = random_batch(rng, 1800, kDim);
  std::vector<std::string> ids;
  for (size_t i = 0; i < 1800; ++i) ids.push_back("w" + std::to_string(i));
  ASSERT_TRUE(db_->add_many(ids, more, {}).ok());
  ASSERT_FALSE(db_->stats().uses_brute_force);
  EXPECT_EQ(db_->stats().num_deleted, doomed.size());
  EXPECT_EQ(before.num_deleted, 0u);

  SearchOptions opt;
  opt.k = 10;
  opt.ef_search = 10;
  auto hits = db_->search(query_.data(), kDim, opt).value();
  EXPECT_EQ(hits.size(), 10u);
  for (const auto& h : hits) EXPECT_TRUE(db_->contains(h.id));
}

}  // namespace
}  // namespace kelpo
