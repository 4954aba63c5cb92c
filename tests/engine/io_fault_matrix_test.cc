// The I/O fault matrix: for every operation that touches files, every file
// call it makes is failed in turn, once and persistently, with EIO and with
// ENOSPC (after a partial write). Each time the operation must report the
// failure (or, where the call was best-effort cleanup, finish its work
// whole), memory must hold the state before or after it, the database must
// go on working once the disk is healthy again, and a reopen must find every
// acknowledged write and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/export/export_json.h"
#include "tests/engine/db_test_util.h"

namespace kelpo {
namespace {

using testing_util::Snapshot;
using testing_util::snapshot;

Status status_of(Result<bool> r) { return r.ok() ? Status::OK() : Status(r.error()); }
Status status_of(Result<size_t> r) { return r.ok() ? Status::OK() : Status(r.error()); }

// A directory with saved files, a deleted slot (so compaction has work), a
// quantizer file (so saves write all four files) and a log beside them whose
// last record is torn (so the first append repairs it), opened afresh.
std::unique_ptr<Database> prepare(const std::string& path, FileOps& ops) {
  DatabaseHooks hooks;
  hooks.file_ops = &ops;
  DatabaseConfig config;
  config.quantize = true;
  {
    auto db = Database::open_or_create_with_config(path, 4, Metric::kCosine, config, hooks).value();
    std::mt19937 rng(7);
    for (int i = 0; i < 12; ++i) {
      EXPECT_TRUE(db->add("s" + std::to_string(i), testing_util::random_vector(rng, 4), Json{{"i", i}}).ok());
    }
    EXPECT_TRUE(db->save().ok());
    EXPECT_TRUE(db->add("logged", {1, 2, 3, 4}, Json{{"in", "log"}}).ok());
    EXPECT_TRUE(db->remove("s3").value());
  }
  FILE* log = std::fopen((path + "/wal.kelpo").c_str(), "ab");
  std::fputs("\x01\x30", log);  // a record header cut short
  std::fclose(log);
  return Database::open(path, hooks).value();
}

struct Operation {
  const char* name;
  // Runs on the database `prepare` left (`dir` is its directory).
  std::function<Status(Database&, FileOps&, const std::string& dir)> run;
};

const std::vector<Operation>& operations() {
  static const std::vector<Operation> ops = {
      {"add", [](Database& db, FileOps&, const std::string&) { return db.add("new", {4, 3, 2, 1}, Json{{"n", 1}}); }},
      {"upsert", [](Database& db, FileOps&, const std::string&) { return db.upsert("s1", {0, 1, 0, 1}, std::nullopt); }},
      {"delete", [](Database& db, FileOps&, const std::string&) { return status_of(db.remove("s5")); }},
      {"add_many",
       [](Database& db, FileOps&, const std::string&) {
         VectorBatch b = VectorBatch::uniform(3, 4);
         for (size_t i = 0; i < b.data.size(); ++i) b.data[i] = static_cast<float>(i % 5) + 0.5f;
         return db.add_many({"m1", "m2", "m3"}, b, {Json{{"m", 1}}, std::nullopt, Json{{"m", 3}}});
       }},
      {"delete_many", [](Database& db, FileOps&, const std::string&) { return status_of(db.delete_many({"s6", "s7"})); }},
      {"save", [](Database& db, FileOps&, const std::string&) { return db.save(); }},
      {"compact+save",
       [](Database& db, FileOps&, const std::string&) -> Status {
         KELPO_RETURN_IF_ERROR(db.compact());
         return db.save();
       }},
      {"import",
       [](Database& db, FileOps& ops, const std::string& dir) {
         const std::string doc = dir + "/../import.json";
         return import_json(db, doc, ops);
       }},
      {"open",
       [](Database&, FileOps& ops, const std::string& dir) {
         DatabaseHooks hooks;
         hooks.file_ops = &ops;
         auto other = Database::open(dir, hooks);
         return other.ok() ? Status::OK() : Status(other.error());
       }},
      {"export",
       [](Database& db, FileOps& ops, const std::string& dir) {
         return export_json(db, dir + "/../export.json", false, ops);
       }},
  };
  return ops;
}

struct Mode {
  const char* name;
  int error;
  bool persistent;
};

const Mode kModes[] = {
    {"once EIO", EIO, false},
    {"once ENOSPC", ENOSPC, false},
    {"persistent EIO", EIO, true},
    {"persistent ENOSPC", ENOSPC, true},
};

// Cells covered across the whole suite: (operation, call, mode) -> calls failed.
std::mutex g_cells_mu;
std::map<std::tuple<std::string, std::string, std::string>, int> g_cells;

// One scratch area per case: the database directory and the import document
// beside it, listing one new record and one that replaces a saved one.
struct Scratch {
  testing_util::ScratchDir root;
  std::string dir = root.path() + "/db";
  Scratch() {
    FILE* f = std::fopen((root.path() + "/import.json").c_str(), "w");
    std::fputs(R"({"version": 1, "dim": 4, "metric": "cosine", "vectors": [)"
               R"({"id": "imp", "vector": [1, 1, 0, 0], "metadata": {"from": "import"}},)"
               R"({"id": "s2", "vector": [0, 0, 1, 1], "metadata": null}]})",
               f);
    std::fclose(f);
  }
};

class IoFaultMatrix : public ::testing::TestWithParam<std::tuple<size_t, size_t>> {};

TEST_P(IoFaultMatrix, FailedCallIsReportedAndLosesNothing) {
  const Operation& op = operations()[std::get<0>(GetParam())];
  const Mode& mode = kModes[std::get<1>(GetParam())];

  // A healthy run: the operation's calls and the state it leaves.
  size_t calls = 0;
  Snapshot healthy_after;
  {
    Scratch s;
    FaultInjectingFileOps counting(FileOps::posix());
    auto db = prepare(s.dir, counting);
    const size_t before = counting.call_count();
    ASSERT_TRUE(op.run(*db, counting, s.dir).ok());
    calls = counting.call_count() - before;
    healthy_after = snapshot(*db);
  }
  ASSERT_GT(calls, 0u) << op.name << " makes no file call";

  for (size_t k = 0; k < calls; ++k) {
    Scratch s;
    FaultInjectingFileOps ops(FileOps::posix());
    auto db = prepare(s.dir, ops);
    const Snapshot before = snapshot(*db);
    const size_t first = ops.call_count();
    ops.set_fault(InjectedFault{.call = first + k, .error = mode.error, .persistent = mode.persistent,
                                .write_prefix = mode.error == ENOSPC ? 5u : 0u});
    const Status st = op.run(*db, ops, s.dir);
    ASSERT_GT(ops.calls().size(), first + k) << op.name << " stopped before call " << k;
    const FileCall failed = ops.calls()[first + k];
    ops.set_fault(std::nullopt);
    SCOPED_TRACE(std::string(op.name) + ", " + mode.name + ": call " + std::to_string(k) + " " + failed.describe() +
                 " -> " + (st.ok() ? "ok" : st.error().message()));
    ASSERT_TRUE(failed.failed);
    {
      std::lock_guard<std::mutex> lock(g_cells_mu);
      ++g_cells[{op.name, file_op_name(failed.op), mode.name}];
    }

    // Reported, or absorbed with the work whole where the call had a
    // fallback: closing a descriptor that was only read, the import file's
    // size (a hint for reserving memory), or the export's temporary file
    // (the document is then written in place).
    const Snapshot now = snapshot(*db);
    if (st.ok()) {
      const bool has_fallback = (failed.op == FileOp::kClose && failed.path.find("export") == std::string::npos) ||
                                (failed.op == FileOp::kFdSize && failed.path.find("import") != std::string::npos) ||
                                (failed.op == FileOp::kOpen && failed.path.find(".export.json.export-") != std::string::npos);
      EXPECT_TRUE(has_fallback) << "a failed call was reported as success";
      EXPECT_EQ(now, healthy_after);
    } else {
      // A failed read of the import document is an I/O error like any
      // other, never taken for text that is not JSON.
      EXPECT_EQ(st.error().kind(), ErrorKind::kIo);
      EXPECT_NE(st.error().message().find(std::strerror(mode.error)), std::string::npos);
      EXPECT_EQ(now, before) << "a failed operation changed memory";
    }

    // Healthy again: the database saves and takes writes.
    ASSERT_TRUE(db->save().ok()) << "save after the fault";
    ASSERT_TRUE(db->add("after", {1, 0, 1, 0}, std::nullopt).ok()) << "write after the fault";
    const Snapshot expected = snapshot(*db);
    db.reset();

    auto back = Database::open(s.dir);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(snapshot(*back.value()), expected) << "an acknowledged write was lost or an unacknowledged one appeared";
  }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<size_t, size_t>>& info) {
  std::string name = std::string(operations()[std::get<0>(info.param)].name) + "_" + kModes[std::get<1>(info.param)].name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(AllCalls, IoFaultMatrix,
                         ::testing::Combine(::testing::Range<size_t>(0, 10), ::testing::Range<size_t>(0, 4)), case_name);

// With KELPO_FAULT_MATRIX_TABLE set, prints the cells covered: per operation
// and call, how many calls were failed in each mode.
class CellTable : public ::testing::Environment {
 public:
  void TearDown() override {
    if (std::getenv("KELPO_FAULT_MATRIX_TABLE") == nullptr) return;
    std::map<std::pair<std::string, std::string>, std::map<std::string, int>> rows;
    for (const auto& [cell, n] : g_cells) rows[{std::get<0>(cell), std::get<1>(cell)}][std::get<2>(cell)] = n;
    std::printf("| operation | call | once EIO | once ENOSPC | persistent EIO | persistent ENOSPC |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const auto& [key, by_mode] : rows) {
      std::printf("| %s | %s |", key.first.c_str(), key.second.c_str());
      for (const Mode& m : kModes) {
        auto it = by_mode.find(m.name);
        std::printf(" %d |", it == by_mode.end() ? 0 : it->second);
      }
      std::printf("\n");
    }
    std::printf("cells (operation, call, mode): %zu\n", g_cells.size());
  }
};
const auto* const kCellTable = ::testing::AddGlobalTestEnvironment(new CellTable);

}  // namespace
}  // namespace kelpo
