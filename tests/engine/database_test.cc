// Single-record and batch writes: messages, state afterwards, and what the
// log holds for the next open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::file_size;
using testing_util::open_db;
using testing_util::ScratchDir;

Json meta(const char* text) {
  Json j;
  JsonParseError err;
  EXPECT_TRUE(json_parse(text, &j, &err)) << err.text();
  return j;
}

TEST(DatabaseRecords, ChecksComeInTheirOrderAndFailuresChangeNothing) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 3);
  ASSERT_TRUE(db->add("a", {1, 2, 3}, meta(R"({"k":1})")).ok());
  const off_t logged = file_size(dir.file("wal.kelpo"));
  ASSERT_GT(logged, 0);

  // The dimension is checked before the id...
  EXPECT_EQ(db->add("a", {1, 2}, std::nullopt).error().message(), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(db->add("a", {1, 2, 3}, std::nullopt).error().message(), "id 'a' already exists, use upsert instead");
  // ...but update looks the id up first.
  EXPECT_EQ(db->update("zz", std::vector<float>{1}, std::nullopt).error().message(), "id 'zz' not found");
  EXPECT_EQ(db->update("a", std::vector<float>{1}, std::nullopt).error().message(),
            "dimension mismatch: expected 3, got 1");
  EXPECT_EQ(db->get("zz").error().message(), "id 'zz' not found");
  EXPECT_EQ(db->remove("zz").value(), false);
  // None of the failures above, nor the delete of a missing id, logged anything.
  EXPECT_EQ(file_size(dir.file("wal.kelpo")), logged);
  EXPECT_EQ(db->count(nullptr), 1u);
  EXPECT_EQ(db->get("a").value().first, (std::vector<float>{1, 2, 3}));
}

TEST(DatabaseRecords, DeleteThenAddTakesANewSlot) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 2);
  ASSERT_TRUE(db->add("x", {1, 1}, std::nullopt).ok());
  EXPECT_TRUE(db->remove("x").value());
  EXPECT_FALSE(db->remove("x").value());
  EXPECT_FALSE(db->contains("x"));
  ASSERT_TRUE(db->add("x", {2, 2}, std::nullopt).ok());
  EXPECT_EQ(db->total_slots(), 2u);
  EXPECT_EQ(db->deleted_count(), 1u);
  EXPECT_EQ(db->count(nullptr), 1u);
  EXPECT_EQ(db->ids(), std::vector<std::string>{"x"});
  EXPECT_EQ(db->get("x").value().first, (std::vector<float>{2, 2}));
}

TEST(DatabaseRecords, UpsertWithoutMetadataClearsItUpdateWithoutKeepsIt) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 2);
  const Filter red = Filter::eq("color", "red");
  ASSERT_TRUE(db->add("a", {1, 0}, meta(R"({"color":"red"})")).ok());
  // A hit shares the stored metadata; writes after it must not reach it.
  SearchOptions one;
  one.k = 1;
  const std::vector<SearchHit> before = db->search(std::vector<float>{1, 0}.data(), 2, one).value();
  ASSERT_TRUE(db->update("a", std::vector<float>{0, 1}, std::nullopt).ok());
  EXPECT_EQ(db->get("a").value().second, meta(R"({"color":"red"})"));
  EXPECT_EQ(db->count(&red), 1u);
  ASSERT_TRUE(db->update("a", std::nullopt, std::nullopt).ok());  // changes nothing
  EXPECT_EQ(db->get("a").value().first, (std::vector<float>{0, 1}));

  ASSERT_TRUE(db->upsert("a", {3, 3}, std::nullopt).ok());
  EXPECT_EQ(db->get("a").value().second, std::nullopt);
  EXPECT_EQ(db->count(&red), 0u);
  EXPECT_EQ(db->total_slots(), 1u);  // replaced in place

  ASSERT_TRUE(db->update("a", std::nullopt, meta(R"({"color":"blue"})")).ok());
  EXPECT_EQ(db->count(&red), 0u);
  const Filter blue = Filter::eq("color", "blue");
  EXPECT_EQ(db->count(&blue), 1u);
  ASSERT_TRUE(before[0].metadata);
  EXPECT_EQ(*before[0].metadata, meta(R"({"color":"red"})"));
}

TEST(DatabaseBatch, AddManyChecksEverythingBeforeLogging) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 2);
  ASSERT_TRUE(db->add("b", {0, 0}, std::nullopt).ok());
  const off_t logged = file_size(dir.file("wal.kelpo"));

  VectorBatch three = VectorBatch::uniform(3, 2);
  EXPECT_EQ(db->add_many({"a", "b", "c"}, three, {}).error().message(), "id 'b' already exists, use upsert instead");
  VectorBatch ragged;
  ragged.push_back(std::vector<float>{1, 2}.data(), 2);
  ragged.push_back(std::vector<float>{1}.data(), 1);
  EXPECT_EQ(db->add_many({"a", "c"}, ragged, {}).error().message(), "dimension mismatch: expected 2, got 1");
  EXPECT_EQ(file_size(dir.file("wal.kelpo")), logged);
  EXPECT_EQ(db->count(nullptr), 1u);
  EXPECT_TRUE(db->add_many({}, VectorBatch{}, {}).ok());
  EXPECT_TRUE(db->upsert_many({}, VectorBatch{}, {}).ok());
  EXPECT_EQ(db->delete_many({}).value(), 0u);
}

TEST(DatabaseBatch, RepeatedNewIdKeepsOneSlotWithItsLastValuesLikeReplay) {
  ScratchDir dir;
  {
    auto db = open_db(dir.path(), 2);
    VectorBatch b;
    for (float x : {1.0f, 2.0f, 3.0f}) b.push_back(std::vector<float>{x, x}.data(), 2);
    std::vector<std::optional<Json>> metas = {meta(R"({"n":1})"), std::nullopt, meta(R"({"n":3})")};
    ASSERT_TRUE(db->add_many({"a", "b", "a"}, b, metas).ok());
    EXPECT_EQ(db->total_slots(), 2u);
    EXPECT_EQ(db->count(nullptr), 2u);
    EXPECT_EQ(db->get("a").value().first, (std::vector<float>{3, 3}));
    EXPECT_EQ(db->get("a").value().second, meta(R"({"n":3})"));

    ASSERT_TRUE(db->upsert_many({"c", "c", "b"}, b, {}).ok());
    EXPECT_EQ(db->total_slots(), 3u);
    EXPECT_EQ(db->get("c").value().first, (std::vector<float>{2, 2}));
    EXPECT_EQ(db->get("b").value().first, (std::vector<float>{3, 3}));
  }
  // Replaying the log gives the same records.
  auto again = open_db(dir.path(), 2);
  EXPECT_EQ(again->count(nullptr), 3u);
  EXPECT_EQ(again->get("a").value().first, (std::vector<float>{3, 3}));
  EXPECT_EQ(again->get("a").value().second, meta(R"({"n":3})"));
  EXPECT_EQ(again->get("c").value().first, (std::vector<float>{2, 2}));
}

TEST(DatabaseBatch, UpsertManyReplacesLiveIdsInPlaceAndDeleteManyCountsDistinct) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 2);
  VectorBatch two = VectorBatch::uniform(2, 2);
  ASSERT_TRUE(db->add_many({"a", "b"}, two, {meta(R"({"t":"x"})"), meta(R"({"t":"y"})")}).ok());
  VectorBatch b;
  b.push_back(std::vector<float>{5, 5}.data(), 2);
  b.push_back(std::vector<float>{6, 6}.data(), 2);
  ASSERT_TRUE(db->upsert_many({"a", "new"}, b, {}).ok());
  EXPECT_EQ(db->total_slots(), 3u);
  EXPECT_EQ(db->get("a").value().second, std::nullopt);  // cleared
  const Filter tx = Filter::eq("t", "x");
  EXPECT_EQ(db->count(&tx), 0u);

  EXPECT_EQ(db->delete_many({"nope", "a", "a", "b"}).value(), 2u);
  EXPECT_EQ(db->count(nullptr), 1u);
  EXPECT_EQ(db->ids(), std::vector<std::string>{"new"});
  const Filter ty = Filter::eq("t", "y");
  EXPECT_EQ(db->count(&ty), 0u);
}

TEST(DatabaseReplay, ReopeningWithoutSaveGivesTheSameRecordsAndSlots) {
  ScratchDir dir;
  {
    auto db = open_db(dir.path(), 2);
    ASSERT_TRUE(db->add("a", {1, 0}, meta(R"({"g":"rock"})")).ok());
    ASSERT_TRUE(db->add("b", {0, 1}, std::nullopt).ok());
    ASSERT_TRUE(db->remove("a").value());
    ASSERT_TRUE(db->add("a", {2, 0}, meta(R"({"g":"pop"})")).ok());
    ASSERT_TRUE(db->update("b", std::vector<float>{0, 2}, meta(R"({"g":"rock"})")).ok());
    ASSERT_TRUE(db->upsert("c", {1, 1}, std::nullopt).ok());
    EXPECT_EQ(db->delete_many({"c"}).value(), 1u);
  }
  for (int round = 0; round < 2; ++round) {  // replay leaves the log as it was
    auto db = open_db(dir.path(), 2);
    EXPECT_EQ(db->total_slots(), 4u);
    EXPECT_EQ(db->deleted_count(), 2u);
    EXPECT_EQ(db->count(nullptr), 2u);
    EXPECT_EQ(db->get("a").value().first, (std::vector<float>{2, 0}));
    EXPECT_EQ(db->get("a").value().second, meta(R"({"g":"pop"})"));
    EXPECT_EQ(db->get("b").value().first, (std::vector<float>{0, 2}));
    const Filter rock = Filter::eq("g", "rock");
    EXPECT_EQ(db->count(&rock), 1u);
    EXPECT_FALSE(db->contains("c"));
  }
}

TEST(DatabaseReplay, SkipsInsertsOfAnotherDimensionAndUpdatesOfUnknownIds) {
  ScratchDir dir;
  {
    Wal wal(dir.file("wal.kelpo"));
    WalBatch batch;
    const float v3[] = {1, 2, 3}, v2[] = {4, 5};
    const Json m = meta(R"({"a":1})");
    batch.add_insert("short", v3, 3, nullptr);
    batch.add_insert("ok", v2, 2, &m);
    batch.add_update("ghost", v2, 2, false, nullptr);
    batch.add_update("ok", v3, 3, true, nullptr);  // wrong-length vector ignored, metadata cleared
    batch.add_delete("ghost");
    ASSERT_TRUE(wal.append(batch).ok());
  }
  auto db = open_db(dir.path(), 2);
  EXPECT_EQ(db->ids(), std::vector<std::string>{"ok"});
  EXPECT_EQ(db->get("ok").value().first, (std::vector<float>{4, 5}));
  EXPECT_EQ(db->get("ok").value().second, std::nullopt);
}

TEST(DatabaseOpen, RefusesUnusableParameters) {
  ScratchDir dir;
  EXPECT_FALSE(Database::open_or_create_with_config(dir.path(), 0, Metric::kCosine, {}).ok());
  DatabaseConfig bad;
  bad.m = 1;
  EXPECT_FALSE(Database::open_or_create_with_config(dir.path(), 4, Metric::kCosine, bad).ok());
}

}  // namespace
}  // namespace kelpo

namespace kelpo {
namespace {

// Fails every write to the log while armed, as a full disk would.
class FullDisk : public ForwardingFileOps {
 public:
  FullDisk() : ForwardingFileOps(FileOps::posix()) {}
  bool armed = false;
  Status write_all_at(int fd, const void* buf, size_t n, uint64_t offset) override {
    if (armed) return KelpoError::io_errno(ENOSPC);
    return ForwardingFileOps::write_all_at(fd, buf, n, offset);
  }
};

TEST(DatabaseFailedWrites, ChangeNeitherMemoryNorWhatTheNextOpenSees) {
  testing_util::ScratchDir dir;
  FullDisk disk;
  {
    DatabaseHooks hooks;
    hooks.file_ops = &disk;
    auto db = Database::open_or_create_with_config(dir.path(), 2, Metric::kEuclidean, {}, hooks);
    ASSERT_TRUE(db.ok());
    Database& d = *db.value();
    ASSERT_TRUE(d.add("a", {1, 1}, std::nullopt).ok());
    ASSERT_TRUE(d.add("b", {2, 2}, std::nullopt).ok());
    disk.armed = true;
    const std::string full = "io error: No space left on device (os error 28)";
    EXPECT_EQ(d.add("c", {3, 3}, std::nullopt).error().message(), full);
    EXPECT_EQ(d.upsert("a", {9, 9}, std::nullopt).error().message(), full);
    EXPECT_EQ(d.update("a", std::vector<float>{9, 9}, std::nullopt).error().message(), full);
    EXPECT_EQ(d.remove("a").error().message(), full);
    VectorBatch two = VectorBatch::uniform(2, 2);
    EXPECT_EQ(d.add_many({"x", "y"}, two, {}).error().message(), full);
    EXPECT_EQ(d.upsert_many({"a", "y"}, two, {}).error().message(), full);
    EXPECT_EQ(d.delete_many({"a", "b"}).error().message(), full);
    // Memory is as before every failed call: the delete kept "a" live.
    EXPECT_TRUE(d.contains("a"));
    EXPECT_EQ(d.count(nullptr), 2u);
    EXPECT_EQ(d.total_slots(), 2u);
    EXPECT_EQ(d.get("a").value().first, (std::vector<float>{1, 1}));
    disk.armed = false;
    ASSERT_TRUE(d.add("c", {3, 3}, std::nullopt).ok());  // the log still takes writes
  }
  auto again = testing_util::open_db(dir.path(), 2);
  auto ids = again->ids();
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(again->get("a").value().first, (std::vector<float>{1, 1}));
  EXPECT_EQ(again->total_slots(), 3u);
}

}  // namespace
}  // namespace kelpo
