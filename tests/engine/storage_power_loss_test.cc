// Whole databases on the in-memory disk: writes (each in the log) before and
// between saves, with the machine stopped at every file call and the power
// then cut in every way the disk allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/mem_file_ops.h"
#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::Snapshot;
using testing_util::snapshot;

struct Op {
  bool is_save;
  std::function<Status(Database&)> run;
};

// Writes of every kind, three saves (quantized files included) and a
// compaction, each write a log append that precedes a save.
std::vector<Op> ops() {
  auto write = [](std::function<Status(Database&)> f) { return Op{false, std::move(f)}; };
  auto save = Op{true, [](Database& db) { return db.save(); }};
  auto pair = [] {
    VectorBatch b = VectorBatch::uniform(2, 3);
    b.data = {1, 0, 0, 0, 1, 0};
    return b;
  };
  return {
      write([](Database& db) { return db.add("a", {1, 2, 3}, Json{{"n", 1}}); }),
      write([pair](Database& db) { return db.add_many({"b", "c"}, pair(), {}); }),
      save,
      write([](Database& db) { return db.upsert("a", {3, 2, 1}, std::nullopt); }),
      write([](Database& db) { return db.remove("b").ok() ? Status::OK() : Status(KelpoError::io("remove")); }),
      write([](Database& db) { return db.update("c", std::nullopt, Json{{"m", "x"}}); }),
      save,
      write([](Database& db) { return db.add("d", {0, 0, 1}, std::nullopt); }),
      write([](Database& db) {
        Result<size_t> n = db.delete_many({"a", "zz"});
        return n.ok() ? Status::OK() : Status(n.error());
      }),
      write([](Database& db) { return db.compact(); }),
      save,
      write([](Database& db) { return db.add("e", {2, 2, 2}, Json{{"last", true}}); }),
  };
}

Result<std::unique_ptr<Database>> open_on(const std::string& path, FileOps& ops) {
  DatabaseHooks hooks;
  hooks.file_ops = &ops;
  DatabaseConfig config;
  config.quantize = true;
  return Database::open_or_create_with_config(path, 3, Metric::kEuclidean, config, hooks);
}

// Every way the power can go, given the directory changes still pending:
// the process killed (nothing lost but what it never did), or the power cut
// keeping a subset of those changes, with unsynced file contents lost or
// written back.
struct Ending {
  bool power_cut = false;
  uint64_t keep = 0;
  bool written_back = false;
};

std::vector<Ending> endings(size_t pending) {
  std::vector<Ending> out = {Ending{}};
  const size_t p = std::min<size_t>(pending, 4);
  for (uint64_t mask = 0; mask < (uint64_t{1} << p); ++mask) {
    for (bool back : {false, true}) out.push_back(Ending{true, mask, back});
  }
  return out;
}

// The machine stops at file call k (that call and all later ones fail, as
// when the process dies there), then the power goes in every way. Opening
// the directory must give the state after a prefix of the operations: none
// it acknowledged is missing when only the process died, none before the
// last completed save is missing after a power cut (the log is not synced:
// later writes may go), and nothing beyond the operation in flight appears.
TEST(StoragePowerLoss, WritesAndSavesStoppedAtEveryCallOpenToAPrefix) {
  testing_util::ScratchDir dir;  // real, for the writer lock; the files live in memory
  const std::string path = dir.path();
  const std::vector<Op> sequence = ops();

  std::vector<Snapshot> states = {Snapshot{}};  // states[i]: after the first i operations
  size_t total_calls = 0;
  {
    MemFileOps mem;
    FaultInjectingFileOps counting(mem);
    auto db = open_on(path, counting).value();
    for (const Op& op : sequence) {
      ASSERT_TRUE(op.run(*db).ok());
      states.push_back(snapshot(*db));
    }
    total_calls = counting.call_count();
  }
  ASSERT_GT(total_calls, 60u);

  size_t cuts = 0;
  for (size_t k = 0; k < total_calls; ++k) {
    MemFileOps mem;
    FaultInjectingFileOps ops(mem);
    ops.set_fault(InjectedFault{.call = k, .persistent = true});
    size_t done = 0;        // operations acknowledged
    size_t saved_upto = 0;  // operations the last completed save holds
    {
      auto db = open_on(path, ops);
      if (db.ok()) {
        for (; done < sequence.size(); ++done) {
          if (!sequence[done].run(*db.value()).ok()) break;
          if (sequence[done].is_save) saved_upto = done + 1;
        }
      }
    }
    for (const Ending& end : endings(mem.pending_changes())) {
      SCOPED_TRACE("stopped at call " + std::to_string(k) + " (" + ops.calls()[k].describe() + ") after " +
                   std::to_string(done) + " operations; " +
                   (end.power_cut ? "power cut keeping changes " + std::to_string(end.keep) +
                                        (end.written_back ? ", data written back" : ", unsynced data lost")
                                  : "process killed"));
      std::unique_ptr<MemFileOps> disk = mem.clone();
      if (end.power_cut) disk->power_loss(end.keep, end.written_back);
      auto back = open_on(path, *disk);
      ASSERT_TRUE(back.ok()) << back.error().message();
      const Snapshot got = snapshot(*back.value());
      const size_t lowest = end.power_cut ? saved_upto : done;
      const size_t highest = std::min(done + 1, sequence.size());
      bool matched = false;
      for (size_t i = lowest; i <= highest && !matched; ++i) matched = got == states[i];
      ASSERT_TRUE(matched) << "opened with " << got.size() << " records; allowed states " << lowest << ".."
                           << highest;
      // The reopened database takes writes and saves on the same disk.
      ASSERT_TRUE(back.value()->add("after", {5, 5, 5}, std::nullopt).ok());
      ASSERT_TRUE(back.value()->save().ok());
      ++cuts;
    }
  }
  EXPECT_GT(cuts, total_calls);
}

// One thread writes while another saves, on the in-memory disk. The disk is
// copied just before every file call of that run, with the writes then
// acknowledged, begun and held by a completed save; every copy is reopened
// as it is (the process killed there) and after every power cut its pending
// changes allow. The writes form one sequence, so the reopened records must
// be the state after some prefix of it: at least every acknowledged write
// (after a power cut, every one a completed save holds; the log is not
// synced), at most the write in flight, and nothing never written.
TEST(StoragePowerLoss, WriteRacingASaveKeepsAcknowledgedWritesAtEveryCall) {
  testing_util::ScratchDir dir;
  const std::string path = dir.path();
  constexpr size_t kWrites = 48;
  auto id = [](size_t i) { return "k" + std::to_string(i); };
  auto vec = [](size_t i, float sign) {
    const float x = sign * static_cast<float>(i);
    return std::vector<float>{x, x + 1, x + 2};
  };
  // Write i: adds for i % 4 < 2; then an upsert and a delete of earlier adds.
  auto write = [&](Database& db, size_t i) -> Status {
    switch (i % 4) {
      case 2:
        return db.upsert(id(i - 2), vec(i, -1), std::nullopt);
      case 3: {
        Result<bool> gone = db.remove(id(i - 2));
        return !gone.ok() ? Status(gone.error()) : *gone ? Status::OK() : Status(KelpoError::io("not live"));
      }
      default:
        return db.add(id(i), vec(i, 1), Json{{"i", i}});
    }
  };
  std::vector<Snapshot> states = {Snapshot{}};  // states[j]: after the first j writes
  for (size_t i = 0; i < kWrites; ++i) {
    Snapshot next = states.back();
    if (i % 4 == 2) next[id(i - 2)] = {vec(i, -1), std::nullopt};
    if (i % 4 == 3) next.erase(id(i - 2));
    if (i % 4 < 2) next[id(i)] = {vec(i, 1), Json{{"i", i}}};
    states.push_back(std::move(next));
  }

  struct Step {
    size_t acked, saved, begun;
    std::unique_ptr<MemFileOps> disk;
  };
  std::vector<Step> steps;
  std::mutex steps_mu;
  std::atomic<size_t> acked{0}, saved{0}, begun{0};
  std::atomic<bool> save_failed{false};
  MemFileOps mem;
  FaultInjectingFileOps traced(mem);
  // Counts first, the copy after, the writes begun last: a write acknowledged
  // (or a save completed) before the counts is on the copy, and nothing on it
  // comes from a write begun after it.
  traced.set_before_call([&] {
    Step st{acked.load(), saved.load(), 0, nullptr};
    st.disk = mem.clone();
    st.begun = begun.load();
    std::lock_guard<std::mutex> lock(steps_mu);
    steps.push_back(std::move(st));
  });
  {
    DatabaseHooks hooks;
    hooks.file_ops = &traced;
    auto db = Database::open_or_create_with_config(path, 3, Metric::kEuclidean, {}, hooks).value();
    std::thread writer([&] {
      for (size_t i = 0; i < kWrites; ++i) {
        // Halfway, wait for a save that holds some writes: on a loaded
        // machine the writer could otherwise finish before any save does,
        // and no copy would show a save racing the writes.
        if (i == kWrites / 2) {
          while (saved.load() == 0 && !save_failed.load()) std::this_thread::yield();
        }
        begun.store(i + 1);
        ASSERT_TRUE(write(*db, i).ok()) << i;
        acked.store(i + 1);
        std::this_thread::yield();
      }
    });
    std::thread saver([&] {
      while (acked.load() < kWrites) {
        const size_t before = acked.load();
        const bool ok = db->save().ok();
        save_failed.store(!ok);
        ASSERT_TRUE(ok);
        saved.store(std::max(saved.load(), before));
      }
    });
    writer.join();
    saver.join();
  }
  traced.set_before_call(nullptr);
  steps.push_back(Step{kWrites, saved.load(), kWrites, mem.clone()});
  size_t saves_mid_run = 0;
  for (const Step& st : steps) saves_mid_run += st.saved > 0 && st.acked < kWrites;
  ASSERT_GT(saves_mid_run, 0u) << "no save completed while the writer ran";

  size_t reopened = 0;
  for (size_t k = 0; k < steps.size(); ++k) {
    const Step& st = steps[k];
    for (const Ending& end : endings(st.disk->pending_changes())) {
      SCOPED_TRACE("before call " + std::to_string(k) + " of " + std::to_string(steps.size()) + ", " +
                   std::to_string(st.acked) + " writes acknowledged, " + std::to_string(st.saved) + " saved; " +
                   (end.power_cut ? "power cut keeping changes " + std::to_string(end.keep) +
                                        (end.written_back ? ", data written back" : ", unsynced data lost")
                                  : "process killed"));
      std::unique_ptr<MemFileOps> disk = st.disk->clone();
      if (end.power_cut) disk->power_loss(end.keep, end.written_back);
      DatabaseHooks hooks;
      hooks.file_ops = disk.get();
      auto back = Database::open_or_create_with_config(path, 3, Metric::kEuclidean, {}, hooks);
      ASSERT_TRUE(back.ok()) << back.error().message();
      const Snapshot got = snapshot(*back.value());
      const size_t lowest = end.power_cut ? st.saved : st.acked;
      bool matched = false;
      for (size_t j = lowest; j <= st.begun && !matched; ++j) matched = got == states[j];
      ASSERT_TRUE(matched) << "opened with " << got.size() << " records; allowed states " << lowest << ".."
                           << st.begun;
      ++reopened;
    }
  }
  EXPECT_GT(reopened, steps.size());
}

}  // namespace
}  // namespace kelpo
