// Opening, saving and compacting whole databases: round trips, the files a
// save leaves, failures and interruptions at every step of a save, and a
// child process killed while it writes and saves.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::file_size;
using testing_util::open_db;
using testing_util::random_vector;
using testing_util::ScratchDir;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool exists(const std::string& path) { return file_size(path) >= 0; }

// Everything a reader can observe of the live records.
using Snapshot = std::map<std::string, std::pair<std::vector<float>, std::optional<Json>>>;

Snapshot snapshot(const Database& db) {
  Snapshot out;
  for (const std::string& id : db.ids()) out[id] = db.get(id).value();
  return out;
}

std::unique_ptr<Database> reopen(const std::string& path) {
  auto db = Database::open(path);
  EXPECT_TRUE(db.ok()) << (db.ok() ? "" : db.error().message());
  return db.ok() ? std::move(db.value()) : nullptr;
}

// A database of dimension 3 with a deleted slot and assorted metadata.
std::unique_ptr<Database> populate(const std::string& path) {
  auto db = open_db(path, 3, Metric::kCosine);
  std::mt19937 rng(1);
  for (int i = 0; i < 20; ++i) {
    std::optional<Json> m;
    if (i % 3) m = Json{{"i", i}, {"tag", i % 2 ? "odd" : "even"}};
    EXPECT_TRUE(db->add("id" + std::to_string(i), random_vector(rng, 3), m).ok());
  }
  EXPECT_TRUE(db->remove("id4").value());
  EXPECT_TRUE(db->remove("id7").value());
  return db;
}

TEST(DatabasePersist, SaveThenOpenGivesBackEverything) {
  ScratchDir dir;
  auto db = populate(dir.path());
  const Snapshot before = snapshot(*db);
  ASSERT_TRUE(db->save().ok());
  EXPECT_FALSE(exists(dir.file("wal.kelpo")));
  EXPECT_FALSE(exists(dir.file("graph.tmp")));
  EXPECT_FALSE(exists(dir.file("vectors.tmp")));
  EXPECT_EQ(file_size(dir.file("vectors.bin")), 4 * 20 * (3 + 1));
  // A second save writes the same vectors file.
  const std::string vectors = slurp(dir.file("vectors.bin"));
  ASSERT_TRUE(db->save().ok());
  EXPECT_EQ(slurp(dir.file("vectors.bin")), vectors);
  db.reset();

  auto back = reopen(dir.path());
  EXPECT_EQ(snapshot(*back), before);  // vectors bit for bit, metadata, ids
  EXPECT_EQ(back->total_slots(), 20u);
  EXPECT_EQ(back->deleted_count(), 2u);
  EXPECT_EQ(back->metric(), Metric::kCosine);
  const Filter odd = Filter::eq("tag", "odd");
  EXPECT_EQ(back->count(&odd), 6u);  // the metadata index was rebuilt
}

TEST(DatabasePersist, StoredParametersWinAndAMissingFileMeansNoDatabase) {
  ScratchDir dir;
  EXPECT_EQ(Database::open(dir.path()).error().message(), "database not found at '" + dir.path() + "'");
  {
    auto db = populate(dir.path());
    ASSERT_TRUE(db->save().ok());
  }
  auto other = open_db(dir.path(), 8, Metric::kDotProduct);
  EXPECT_EQ(other->dim(), 3u);
  EXPECT_EQ(other->metric(), Metric::kCosine);
  other.reset();

  ASSERT_EQ(std::remove(dir.file("vectors.bin").c_str()), 0);
  EXPECT_EQ(Database::open(dir.path()).error().kind(), ErrorKind::kDatabaseNotFound);
  auto fresh = open_db(dir.path(), 4);
  EXPECT_EQ(fresh->total_slots(), 0u);
  EXPECT_EQ(fresh->dim(), 4u);
}

TEST(DatabasePersist, CorruptGraphIsAnErrorNotAnEmptyDatabase) {
  ScratchDir dir;
  {
    auto db = populate(dir.path());
    ASSERT_TRUE(db->save().ok());
  }
  std::string graph = slurp(dir.file("graph.kelpo"));
  graph[0] = 'X';
  std::ofstream(dir.file("graph.kelpo"), std::ios::binary | std::ios::trunc) << graph;
  EXPECT_EQ(Database::open(dir.path()).error().message(), "io error: bad graph magic");
  auto again = Database::open_or_create_with_config(dir.path(), 3, Metric::kCosine, {});
  EXPECT_EQ(again.error().message(), "io error: bad graph magic");
}

TEST(DatabasePersist, LogIsReplayedOverTheSavedFilesAndWritesToAMappedStoreWork) {
  ScratchDir dir;
  Snapshot expected;
  {
    auto db = populate(dir.path());
    ASSERT_TRUE(db->save().ok());
    db.reset();
    auto mapped = reopen(dir.path());  // store mapped from vectors.bin
    ASSERT_TRUE(mapped->remove("id1").value());
    ASSERT_TRUE(mapped->add("new", {1, 2, 3}, Json{{"k", 1}}).ok());  // copies the store
    ASSERT_TRUE(mapped->upsert("id2", {3, 2, 1}, std::nullopt).ok());
    expected = snapshot(*mapped);
    // Dropped without saving.
  }
  for (int round = 0; round < 2; ++round) {
    auto db = reopen(dir.path());
    EXPECT_EQ(snapshot(*db), expected);
    EXPECT_EQ(db->total_slots(), 21u);
  }
  auto db = reopen(dir.path());
  ASSERT_TRUE(db->save().ok());
  EXPECT_EQ(file_size(dir.file("vectors.bin")), 4 * 21 * (3 + 1));
  db.reset();
  EXPECT_EQ(snapshot(*reopen(dir.path())), expected);
}

TEST(DatabasePersist, CreatingOverAnUnsavedLogKeepsItsWrites) {
  ScratchDir dir;
  {
    auto db = open_db(dir.path(), 2);
    ASSERT_TRUE(db->add("a", {1, 2}, std::nullopt).ok());
    // The process dies here: never saved.
  }
  auto db = open_db(dir.path(), 2);
  EXPECT_TRUE(db->contains("a"));
  ASSERT_TRUE(db->save().ok());
  db.reset();
  EXPECT_TRUE(reopen(dir.path())->contains("a"));
}

TEST(DatabaseCompact, RenumbersLiveRecordsAndKeepsTheirData) {
  ScratchDir dir;
  auto db = open_db(dir.path(), 2);
  ASSERT_TRUE(db->add("x", {1, 0}, Json{{"n", 1}}).ok());
  ASSERT_TRUE(db->add("y", {0, 1}, Json{{"n", 2}}).ok());
  ASSERT_TRUE(db->add("z", {1, 1}, Json{{"n", 3}}).ok());
  ASSERT_TRUE(db->compact().ok());  // no deletions: nothing changes
  EXPECT_EQ(db->total_slots(), 3u);
  ASSERT_TRUE(db->remove("y").value());
  const Snapshot before = snapshot(*db);
  ASSERT_TRUE(db->compact().ok());
  EXPECT_EQ(db->total_slots(), 2u);
  EXPECT_EQ(db->deleted_count(), 0u);
  EXPECT_EQ(snapshot(*db), before);
  const Filter z = Filter::eq("n", 3);
  SearchOptions opt;
  opt.filter = &z;
  const float q[] = {1, 1};
  auto hits = db->search(q, 2, opt).value();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, "z");
  // The log (by id) still replays over the old files; after a save the files
  // hold the new numbering.
  db.reset();
  db = open_db(dir.path(), 2);
  EXPECT_EQ(snapshot(*db), before);
  ASSERT_TRUE(db->compact().ok());
  ASSERT_TRUE(db->save().ok());
  EXPECT_EQ(file_size(dir.file("vectors.bin")), 4 * 2 * (2 + 1));
  db.reset();
  auto back = reopen(dir.path());
  EXPECT_EQ(snapshot(*back), before);
  EXPECT_EQ(back->total_slots(), 2u);
}

TEST(DatabaseCompact, EverythingDeletedAndMappedStores) {
  ScratchDir dir;
  {
    auto db = populate(dir.path());
    ASSERT_TRUE(db->save().ok());
  }
  auto db = reopen(dir.path());
  const Snapshot before = snapshot(*db);
  ASSERT_TRUE(db->compact().ok());  // releases the mapping; the new store is in memory
  EXPECT_EQ(db->total_slots(), 18u);
  EXPECT_EQ(snapshot(*db), before);
  ASSERT_TRUE(db->save().ok());
  EXPECT_EQ(file_size(dir.file("vectors.bin")), 4 * 18 * (3 + 1));

  EXPECT_EQ(db->delete_many(db->ids()).value(), 18u);
  ASSERT_TRUE(db->compact().ok());
  EXPECT_EQ(db->total_slots(), 0u);
  EXPECT_TRUE(db->ids().empty());
  const float q[] = {1, 0, 0};
  EXPECT_TRUE(db->search(q, 3, {}).value().empty());
  ASSERT_TRUE(db->add("again", {1, 0, 0}, std::nullopt).ok());
  EXPECT_EQ(db->search(q, 3, {}).value().at(0).id, "again");
}

// A save that fails at any one of its file calls reports an io error, changes
// nothing in memory, keeps the log, and leaves a directory that opens with
// every acknowledged write.
TEST(DatabasePersist, SaveFailingAtEveryCallLosesNothing) {
  ScratchDir probe;
  FaultInjectingFileOps counting(FileOps::posix());
  size_t calls = 0;
  {
    DatabaseHooks hooks;
    hooks.file_ops = &counting;
    auto db = Database::open_or_create_with_config(probe.path(), 3, Metric::kCosine, {}, hooks);
    ASSERT_TRUE(db.ok());
    ASSERT_TRUE(db.value()->add("a", {1, 2, 3}, std::nullopt).ok());
    ASSERT_TRUE(db.value()->save().ok());
    counting.clear_calls();
    ASSERT_TRUE(db.value()->add("b", {1, 2, 3}, std::nullopt).ok());
    ASSERT_TRUE(db.value()->save().ok());
    calls = counting.calls().size();
  }
  ASSERT_GT(calls, 10u);
  for (size_t k = 0; k < calls; ++k) {
    for (bool persistent : {false, true}) {
      ScratchDir dir;
      FaultInjectingFileOps ops(FileOps::posix());
      DatabaseHooks hooks;
      hooks.file_ops = &ops;
      Snapshot expected;
      {
        auto db = Database::open_or_create_with_config(dir.path(), 3, Metric::kCosine, {}, hooks).value();
        ASSERT_TRUE(db->add("a", {1, 2, 3}, Json{{"v", 1}}).ok());
        ASSERT_TRUE(db->save().ok());
        ASSERT_TRUE(db->add("b", {3, 2, 1}, std::nullopt).ok());
        ASSERT_TRUE(db->remove("a").value());
        expected = snapshot(*db);
        InjectedFault fault;
        fault.call = ops.call_count() + k;
        fault.error = ENOSPC;
        fault.persistent = persistent;
        fault.write_prefix = 3;
        ops.set_fault(fault);
        Status s = db->save();
        ops.set_fault(std::nullopt);
        if (!s.ok()) {
          EXPECT_EQ(s.error().kind(), ErrorKind::kIo) << "call " << k;
        }
        EXPECT_EQ(snapshot(*db), expected) << "call " << k;
        // The database goes on taking writes after a failed save.
        ASSERT_TRUE(db->add("c", {0, 0, 1}, std::nullopt).ok());
        expected = snapshot(*db);
      }
      auto back = Database::open(dir.path());
      ASSERT_TRUE(back.ok()) << "call " << k << ": " << back.error().message();
      EXPECT_EQ(snapshot(*back.value()), expected) << "call " << k;
      // And a later save over whatever the failed one left works.
      ASSERT_TRUE(back.value()->save().ok()) << "call " << k;
      back.value().reset();
      EXPECT_EQ(snapshot(*reopen(dir.path())), expected) << "call " << k;
    }
  }
}

// A save after which no vector changed (only metadata, deletions or
// nothing) keeps vectors.bin as it is, the file itself and not a copy; any
// vector change since the last save or open (the log's replay and compaction
// included) writes it again. Every state reopens to what was saved.
TEST(DatabasePersist, SaveKeepsTheVectorsFileExactlyWhenNoVectorChanged) {
  ScratchDir dir;
  FaultInjectingFileOps ops(FileOps::posix());
  DatabaseHooks hooks;
  hooks.file_ops = &ops;
  const Storage storage(dir.path());
  auto inode = [&] {
    struct stat st;
    EXPECT_EQ(::stat(storage.vectors_path.c_str(), &st), 0);
    return st.st_ino;
  };
  // Saves, reopens and compares; returns whether vectors.bin was written.
  auto save_and_check = [&](std::unique_ptr<Database>& db) {
    ops.clear_calls();
    const ino_t before = exists(storage.vectors_path) ? inode() : 0;
    EXPECT_TRUE(db->save().ok());
    bool written = false;
    for (const FileCall& call : ops.calls()) {
      written |= call.op == FileOp::kRename && call.target == storage.vectors_path;
    }
    EXPECT_EQ(inode() != before, written);
    const Snapshot expected = snapshot(*db);
    db.reset();
    db = std::move(Database::open(dir.path(), hooks).value());
    EXPECT_EQ(snapshot(*db), expected);
    return written;
  };

  auto db = std::move(Database::open_or_create_with_config(dir.path(), 3, Metric::kCosine, {}, hooks).value());
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(db->add("id" + std::to_string(i), {1.0f * i, 2, 3}, std::nullopt).ok());
  EXPECT_TRUE(save_and_check(db));
  EXPECT_FALSE(save_and_check(db));  // nothing changed
  ASSERT_TRUE(db->update("id1", std::nullopt, Json{{"k", 1}}).ok());
  ASSERT_TRUE(db->remove("id2").value());
  EXPECT_FALSE(save_and_check(db));
  ASSERT_TRUE(db->update("id3", std::vector<float>{9, 9, 9}, std::nullopt).ok());
  EXPECT_TRUE(save_and_check(db));
  ASSERT_TRUE(db->upsert("id5", {5, 5, 5}, Json{{"k", 5}}).ok());  // an upsert writes a vector
  EXPECT_TRUE(save_and_check(db));
  // A vector written and never saved comes back through the log's replay.
  ASSERT_TRUE(db->add("new", {0, 1, 0}, std::nullopt).ok());
  db.reset();
  db = std::move(Database::open(dir.path(), hooks).value());
  EXPECT_TRUE(save_and_check(db));
  // Only a deletion in the log: the vectors are those of vectors.bin.
  ASSERT_TRUE(db->remove("id6").value());
  db.reset();
  db = std::move(Database::open(dir.path(), hooks).value());
  EXPECT_FALSE(save_and_check(db));
  ASSERT_TRUE(db->compact().ok());
  EXPECT_TRUE(save_and_check(db));
  EXPECT_FALSE(db->contains("id6"));
  // A failed save keeps nothing in doubt: the next one writes the vectors.
  ASSERT_TRUE(db->update("id7", std::vector<float>{7, 0, 7}, std::nullopt).ok());
  ops.set_fault(InjectedFault{.call = ops.call_count() + 12, .error = EIO});
  EXPECT_FALSE(db->save().ok());
  ops.set_fault(std::nullopt);
  EXPECT_TRUE(save_and_check(db));
}

// A save stopped after each of its steps, as a crash would stop it.
TEST(DatabasePersist, SaveStoppedAfterEveryStepOpensWithEveryWrite) {
  const SaveStep steps[] = {SaveStep::kEarlierSaveSettled, SaveStep::kTempFilesWritten,
                            SaveStep::kVectorsCommitted,   SaveStep::kGraphCommitted,
                            SaveStep::kQuantizerWritten,   SaveStep::kLogRemoved};
  for (SaveStep stop : steps) {
    ScratchDir dir;
    DatabaseHooks hooks;
    hooks.save.after_step = [stop](SaveStep step) {
      return step == stop ? Status(KelpoError::io("stopped")) : Status::OK();
    };
    Snapshot expected;
    {
      auto db = Database::open_or_create_with_config(dir.path(), 3, Metric::kCosine, {}, hooks).value();
      ASSERT_TRUE(db->add("a", {1, 2, 3}, std::nullopt).ok());
      (void)db->save();
      ASSERT_TRUE(db->add("b", {3, 2, 1}, Json{{"x", true}}).ok());
      ASSERT_TRUE(db->add("c", {3, 3, 1}, std::nullopt).ok());
      ASSERT_TRUE(db->remove("a").value());
      (void)db->save();
      expected = snapshot(*db);
    }
    // Stopped inside the first save, the directory may hold no saved files
    // yet: creating over it replays the log.
    auto back = Database::open_or_create_with_config(dir.path(), 3, Metric::kCosine, {});
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(snapshot(*back.value()), expected) << static_cast<int>(stop);
  }
}

// A child process writes and saves in a loop, reporting each acknowledged
// operation through a pipe; it is killed at a random moment, and every
// acknowledged write must be there when the directory is opened again.
TEST(DatabasePersist, KilledWriterLosesNoAcknowledgedWrite) {
  std::mt19937 rng(12345);  // fixed, printed on failure through the trial number
  for (int trial = 0; trial < 12; ++trial) {
    ScratchDir dir;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      auto made = Database::open_or_create_with_config(dir.path(), 4, Metric::kEuclidean, {});
      if (!made.ok()) _exit(2);
      Database& db = *made.value();
      std::mt19937 crng(static_cast<unsigned>(trial));
      for (uint32_t op = 0;; ++op) {
        // Ops: add id op, delete id op-3 every 4th, save every 25th. Small
        // batches keep the child single-threaded.
        const std::string id = "k" + std::to_string(op);
        if (!db.add(id, random_vector(crng, 4), Json{{"op", op}}).ok()) _exit(3);
        if (op % 4 == 3 && !db.remove("k" + std::to_string(op - 3)).ok()) _exit(4);
        if (op % 25 == 24 && !db.save().ok()) _exit(5);
        if (write(fds[1], &op, sizeof op) != sizeof op) _exit(6);
      }
    }
    close(fds[1]);
    std::uniform_int_distribution<int> delay_us(2000, 60000);
    usleep(delay_us(rng));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    uint32_t op = 0, acknowledged = 0;
    bool any = false;
    while (read(fds[0], &op, sizeof op) == sizeof op) {
      acknowledged = op;
      any = true;
    }
    close(fds[0]);
    if (!any) continue;  // killed before the first acknowledgement
    auto db = Database::open_or_create_with_config(dir.path(), 4, Metric::kEuclidean, {});
    ASSERT_TRUE(db.ok()) << "trial " << trial << ": " << db.error().message();
    for (uint32_t i = 0; i <= acknowledged; ++i) {
      if (i + 3 == acknowledged + 1 && i % 4 == 0) continue;  // its delete was in flight
      const bool deleted = (i + 3 <= acknowledged) && (i % 4 == 0);
      const std::string id = "k" + std::to_string(i);
      EXPECT_EQ(db.value()->contains(id), !deleted) << "trial " << trial << " id " << id << " of " << acknowledged;
    }
  }
}

}  // namespace
}  // namespace kelpo
