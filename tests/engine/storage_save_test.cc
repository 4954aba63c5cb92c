#include "engine/storage/save_protocol.h"

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/storage/mem_file_ops.h"
#include "engine/storage/vector_files.h"
#include "tests/engine/storage_test_util.h"

namespace kelpo {
namespace {

using testing::make_graph;
using testing::render;
using testing::render_graph;
using testing::TempDir;

// The three files of one saved state. `unchanged` marks a state whose
// vectors are those of the state saved before it: its save may keep
// vectors.bin.
struct Snapshot {
  std::string name;
  std::string graph, vectors, sq8;
  bool unchanged = false;
};

// The files' contents follow from the tags: two snapshots with the same n and
// vectors_tag have the same vectors.bin (and vectors.sq8).
Snapshot make_snapshot(const std::string& name, uint32_t n, uint32_t tag, bool quantized,
                       std::optional<uint32_t> same_vectors_as_tag = std::nullopt) {
  const uint32_t dim = 4;
  const uint32_t vtag = same_vectors_as_tag.value_or(tag);
  Snapshot s;
  s.name = name;
  s.unchanged = same_vectors_as_tag.has_value();
  s.graph = render_graph(make_graph(n, dim, tag));
  std::vector<float> vectors(size_t{n} * dim), norms(n);
  for (size_t i = 0; i < vectors.size(); ++i) vectors[i] = static_cast<float>(i * 0.5 + vtag);
  for (size_t i = 0; i < norms.size(); ++i) norms[i] = static_cast<float>(i + vtag);
  s.vectors = render([&](BufferedFileWriter& out) { return write_vectors_file(out, vectors, norms, dim); });
  if (quantized) {
    std::vector<float> min(dim, static_cast<float>(vtag)), scale(dim, 0.5f);
    std::vector<uint8_t> codes(size_t{n} * dim, static_cast<uint8_t>(vtag));
    s.sq8 = render([&](BufferedFileWriter& out) { return write_quantizer_file(out, min, scale, codes); });
  }
  return s;
}

SaveFiles files_of(const Snapshot& s) {
  auto writer = [](const std::string& bytes) {
    return [bytes](BufferedFileWriter& out) {
      out.append(bytes);
      return out.status();
    };
  };
  SaveFiles f{writer(s.vectors), writer(s.graph), nullptr, std::nullopt};
  if (!s.sq8.empty()) f.quantizer = writer(s.sq8);
  if (s.unchanged) f.unchanged_vectors_size = s.vectors.size();
  return f;
}

const Storage kStorage("/db");
const std::string kLog = "log entries";

void put_state(MemFileOps& mem, const Snapshot* old) {
  ASSERT_TRUE(mem.create_directories(kStorage.dir).ok());
  if (old != nullptr) {
    mem.put_durable(kStorage.graph_path, old->graph);
    mem.put_durable(kStorage.vectors_path, old->vectors);
    if (!old->sq8.empty()) mem.put_durable(kStorage.quantized_path, old->sq8);
  }
  mem.put_durable(kStorage.log_path, kLog);
}

// What opening the directory would find: "none", a snapshot's name, or a
// description of what is wrong. "+log" marks a log kept beside the files.
std::string opened(FileOps& ops, const std::vector<const Snapshot*>& known) {
  Result<SavedGraph> saved = find_saved_graph(ops, kStorage);
  if (!saved.ok()) return "error: " + saved.error().message();
  std::string label;
  if (saved->source == GraphSource::kNone) {
    label = "none";
  } else {
    const std::string graph =
        ops.read_file(saved->source == GraphSource::kGraph ? kStorage.graph_path : kStorage.graph_temp_path).value();
    const std::string vectors = ops.read_file(kStorage.vectors_path).value();
    const Snapshot* match = nullptr;
    for (const Snapshot* s : known) {
      if (s->graph == graph) match = s;
    }
    if (match == nullptr) return "unknown graph";
    if (match->vectors != vectors) return "graph of " + match->name + " beside other vectors";
    label = match->name;
    if (ops.exists(kStorage.quantized_path).value()) {
      if (ops.read_file(kStorage.quantized_path).value() != match->sq8) return "stale quantizer file beside " + label;
    }
  }
  Result<std::string> log = ops.read_file(kStorage.log_path);
  if (log.ok()) {
    if (*log != kLog) return "damaged log";
    label += "+log";
  }
  return label;
}

// After a save that completed, nothing but the saved files is left.
void expect_clean(MemFileOps& mem, const Snapshot& s) {
  std::vector<std::string> want = {"graph.kelpo", "vectors.bin"};
  if (!s.sq8.empty()) want.push_back("vectors.sq8");
  EXPECT_EQ(mem.list(kStorage.dir), want);
  EXPECT_EQ(opened(mem, {&s}), s.name);
}

// Also checks that the save kept vectors.bin exactly when it could.
size_t calls_of_clean_save(const Snapshot* old, const Snapshot& next) {
  MemFileOps mem;
  put_state(mem, old);
  FaultInjectingFileOps ops(mem);
  SaveOutcome outcome;
  EXPECT_TRUE(save_database_files(ops, kStorage, files_of(next), {}, &outcome).ok());
  expect_clean(mem, next);
  const bool can_keep = next.unchanged && old != nullptr && old->vectors.size() == next.vectors.size();
  EXPECT_EQ(outcome.vectors_written, !can_keep);
  // Kept means never copied: nothing written to vectors.tmp (at most an empty
  // marker) other than a new quantizer file. These files fit one write each.
  size_t temp_writes = 0;
  for (const FileCall& call : ops.calls()) {
    temp_writes += call.op == FileOp::kWrite && call.path == kStorage.vectors_temp_path;
  }
  const bool quantizer_written = !next.sq8.empty() && !(can_keep && old->sq8 == next.sq8);
  EXPECT_EQ(temp_writes, size_t{!can_keep} + size_t{quantizer_written});
  return ops.call_count();
}

struct Scenario {
  const char* what;
  std::optional<Snapshot> old;
  Snapshot next;
  // What the process after a crash saves: by default a state with new
  // vectors; a state with A's vectors where both old and next have them.
  Snapshot after = make_snapshot("C", 11, 3, true);
};

std::vector<Scenario> scenarios() {
  std::vector<Scenario> out;
  out.push_back({"first save", std::nullopt, make_snapshot("B", 14, 2, false)});
  out.push_back({"growing", make_snapshot("A", 9, 1, false), make_snapshot("B", 14, 2, false)});
  // Same node count: sizes cannot tell the two states apart.
  out.push_back({"same size", make_snapshot("A", 9, 1, false), make_snapshot("B", 9, 2, false)});
  out.push_back({"quantized, shrinking", make_snapshot("A", 14, 1, true), make_snapshot("B", 9, 2, true)});
  out.push_back({"quantization dropped", make_snapshot("A", 9, 1, true), make_snapshot("B", 12, 2, false)});
  out.push_back({"quantization added", make_snapshot("A", 9, 1, false), make_snapshot("B", 12, 2, true)});
  // Only ids, metadata or deletions changed: vectors.bin is kept, with the
  // quantizer file beside it, added or removed.
  for (bool quantized_before : {false, true}) {
    for (bool quantized_after : {false, true}) {
      out.push_back({"vectors unchanged", make_snapshot("A", 9, 1, quantized_before),
                     make_snapshot("B", 9, 2, quantized_after, 1), make_snapshot("C", 9, 3, true, 1)});
    }
  }
  // Claimed unchanged, but the file is missing or of another size: written.
  out.push_back({"vectors unchanged, first save", std::nullopt, make_snapshot("B", 9, 2, false, 1)});
  out.push_back({"vectors unchanged, file of another size", make_snapshot("A", 12, 1, false),
                 make_snapshot("B", 9, 2, false, 1)});
  return out;
}

// How a crash ends: the process is killed (kProcessKill: everything done so
// far stays), or the power is cut and, of the directory changes not yet
// synced, those in the mask survive.
constexpr int64_t kProcessKill = -1;

void crash(MemFileOps& mem, int64_t how) {
  if (how != kProcessKill) mem.power_loss(static_cast<uint64_t>(how));
}

// Every way a crash may end, given the directory changes left pending.
std::vector<int64_t> crash_endings(size_t pending) {
  std::vector<int64_t> out = {kProcessKill};
  const size_t p = std::min<size_t>(pending, 6);
  for (int64_t mask = 0; mask < (int64_t{1} << p); ++mask) out.push_back(mask);
  return out;
}

std::string describe_ending(int64_t how) {
  return how == kProcessKill ? "process killed" : "power cut keeping changes " + std::to_string(how);
}

// A crash at any point of a save leaves a directory that opens to the old
// state with its log or to the new state, never a mix. When the process was
// killed (its last directory changes perhaps not yet durable) and the next
// process saves again, a crash during that save still leaves a whole state:
// never a mix, never a state older than the files without the log that
// leads past it.
TEST(SaveProtocolTest, CrashAfterEveryCallOpensOldOrNewState) {
  for (const Scenario& sc : scenarios()) {
    SCOPED_TRACE(sc.what);
    const Snapshot& c = sc.after;
    const Snapshot* old = sc.old ? &*sc.old : nullptr;
    const std::vector<const Snapshot*> known = {old ? old : &sc.next, &sc.next, &c};
    const std::string old_label = old ? "A+log" : "none+log";
    const std::set<std::string> whole_states = {old_label, "B", "B+log", "C", "C+log"};
    std::set<std::string> seen;
    const size_t total = calls_of_clean_save(old, sc.next);
    for (size_t k = 0; k < total; ++k) {
      MemFileOps cut;  // a save of B cut after k calls
      put_state(cut, old);
      {
        FaultInjectingFileOps ops(cut);
        ops.set_fault(InjectedFault{.call = k, .persistent = true});
        ASSERT_FALSE(save_database_files(ops, kStorage, files_of(sc.next)).ok());
      }
      for (int64_t how : crash_endings(cut.pending_changes())) {
        SCOPED_TRACE("save of B cut at call " + std::to_string(k) + ", " + describe_ending(how));
        std::unique_ptr<MemFileOps> mem = cut.clone();
        crash(*mem, how);
        const std::string state = opened(*mem, known);
        ASSERT_TRUE(state == old_label || state == "B" || state == "B+log") << state;
        seen.insert(state);
        if (how != kProcessKill) continue;

        // The next process saves C; cut that save at every call too.
        for (size_t k2 = 0;; ++k2) {
          std::unique_ptr<MemFileOps> cut2 = mem->clone();
          FaultInjectingFileOps ops2(*cut2);
          ops2.set_fault(InjectedFault{.call = k2, .persistent = true});
          if (save_database_files(ops2, kStorage, files_of(c)).ok()) {
            expect_clean(*cut2, c);
            break;
          }
          for (int64_t how2 : crash_endings(cut2->pending_changes())) {
            std::unique_ptr<MemFileOps> again = cut2->clone();
            crash(*again, how2);
            const std::string after = opened(*again, known);
            ASSERT_TRUE(whole_states.count(after))
                << "save of C cut at call " << k2 << ", " << describe_ending(how2) << ": " << after;
            if (how2 == kProcessKill) {
              ASSERT_TRUE(after == state || after == "C" || after == "C+log") << after;
            }
          }
        }
      }
    }
    EXPECT_TRUE(seen.count(old_label) && (seen.count("B") || seen.count("B+log")));
  }
}

// A single failing call at any point fails the save with that call's error,
// keeps the log unless the files already hold every entry, and a retry
// completes.
TEST(SaveProtocolTest, FailureAtEveryCallReportsItAndKeepsTheLog) {
  for (const Scenario& sc : scenarios()) {
    SCOPED_TRACE(sc.what);
    const Snapshot* old = sc.old ? &*sc.old : nullptr;
    const std::vector<const Snapshot*> known = {old ? old : &sc.next, &sc.next};
    const size_t total = calls_of_clean_save(old, sc.next);
    for (size_t k = 0; k < total; ++k) {
      for (const InjectedFault& fault : {InjectedFault{.call = k, .error = EIO},
                                         InjectedFault{.call = k, .error = ENOSPC, .write_prefix = 100}}) {
        SCOPED_TRACE("failing call " + std::to_string(k) + " with errno " + std::to_string(fault.error));
        MemFileOps mem;
        put_state(mem, old);
        FaultInjectingFileOps ops(mem);
        ops.set_fault(fault);
        Status st = save_database_files(ops, kStorage, files_of(sc.next));
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().message(), KelpoError::io_errno(fault.error).message());
        const std::string state = opened(mem, known);
        ASSERT_TRUE(state == (old ? "A+log" : "none+log") || state == "B+log" || state == "B") << state;
        if (state == "B") {
          EXPECT_EQ(ops.calls().back().op, FileOp::kSyncDir);  // only the last step's sync failed
        }

        ASSERT_TRUE(save_database_files(mem, kStorage, files_of(sc.next)).ok());
        expect_clean(mem, sc.next);
      }
    }
  }
}

TEST(SaveProtocolTest, OpenRollsForwardOnlyACompleteFittingGraphTemp) {
  const Snapshot a = make_snapshot("A", 9, 1, false), b = make_snapshot("B", 14, 2, false);
  auto dir_with = [&](const std::vector<std::pair<std::string, std::string>>& files) {
    auto mem = std::make_unique<MemFileOps>();
    EXPECT_TRUE(mem->create_directories(kStorage.dir).ok());
    for (const auto& [name, bytes] : files) mem->put_durable(kStorage.dir + "/" + name, bytes);
    return mem;
  };
  auto source = [](MemFileOps& mem) {
    Result<SavedGraph> s = find_saved_graph(mem, kStorage);
    if (!s.ok()) return s.error().message();
    switch (s->source) {
      case GraphSource::kNone: return std::string("none");
      case GraphSource::kGraph: return "graph.kelpo n=" + std::to_string(s->graph.node_count());
      case GraphSource::kRolledForward: return "graph.tmp n=" + std::to_string(s->graph.node_count());
    }
    return std::string("?");
  };

  // Between the renames: new vectors, old graph, complete graph.tmp.
  EXPECT_EQ(source(*dir_with({{"graph.kelpo", a.graph}, {"vectors.bin", b.vectors}, {"graph.tmp", b.graph}})),
            "graph.tmp n=14");
  // The same in a first save: no graph.kelpo yet.
  EXPECT_EQ(source(*dir_with({{"vectors.bin", b.vectors}, {"graph.tmp", b.graph}})), "graph.tmp n=14");
  // Before the commit point: vectors.tmp still there.
  EXPECT_EQ(source(*dir_with({{"graph.kelpo", a.graph},
                              {"vectors.bin", a.vectors},
                              {"graph.tmp", b.graph},
                              {"vectors.tmp", b.vectors}})),
            "graph.kelpo n=9");
  // A graph.tmp that does not fit, or does not parse, is not a commit.
  EXPECT_EQ(source(*dir_with({{"graph.kelpo", a.graph}, {"vectors.bin", a.vectors}, {"graph.tmp", b.graph}})),
            "graph.kelpo n=9");
  EXPECT_EQ(source(*dir_with({{"graph.kelpo", a.graph},
                              {"vectors.bin", a.vectors},
                              {"graph.tmp", b.graph.substr(0, b.graph.size() - 1)}})),
            "graph.kelpo n=9");
  EXPECT_EQ(source(*dir_with({{"vectors.bin", b.vectors}, {"graph.tmp", b.graph.substr(0, 50)}})), "none");
  // Both files are needed.
  EXPECT_EQ(source(*dir_with({{"graph.kelpo", a.graph}})), "none");
  EXPECT_EQ(source(*dir_with({{"vectors.bin", a.vectors}})), "none");
  // A saved database that does not load is an error, never an empty database.
  EXPECT_EQ(source(*dir_with({{"graph.kelpo", "GWSX"}, {"vectors.bin", a.vectors}})), "io error: bad graph magic");
  EXPECT_EQ(source(*dir_with({{"graph.kelpo", a.graph}, {"vectors.bin", b.vectors}})),
            "io error: vectors file holds 280 bytes, but 9 slots of dimension 4 need exactly 180");
  auto broken = dir_with({{"graph.kelpo", a.graph}, {"vectors.bin", a.vectors}});
  FaultInjectingFileOps failing(*broken);
  failing.set_fault(InjectedFault{.call = 0, .error = EACCES, .persistent = true});
  EXPECT_EQ(source(*broken), "graph.kelpo n=9");
  EXPECT_EQ(find_saved_graph(failing, kStorage).error().message(), "io error: Permission denied (os error 13)");

  // Opening changes nothing, and the next save settles the rolled-forward
  // graph before writing its own files.
  auto mid = dir_with({{"graph.kelpo", a.graph}, {"vectors.bin", b.vectors}, {"graph.tmp", b.graph}});
  ASSERT_EQ(source(*mid), "graph.tmp n=14");
  EXPECT_EQ(mid->list(kStorage.dir), (std::vector<std::string>{"graph.kelpo", "graph.tmp", "vectors.bin"}));
  SaveHooks stop_after_settling{[](SaveStep step) -> Status {
    if (step == SaveStep::kEarlierSaveSettled) return KelpoError::io("stop");
    return Status::OK();
  }};
  EXPECT_FALSE(save_database_files(*mid, kStorage, files_of(a), stop_after_settling).ok());
  EXPECT_EQ(mid->list(kStorage.dir), (std::vector<std::string>{"graph.kelpo", "vectors.bin"}));
  EXPECT_EQ(source(*mid), "graph.kelpo n=14");
}

// The same protocol on the real file system, stopped after each step.
TEST(SaveProtocolTest, RealDirectoryStoppedAfterEachStep) {
  const Snapshot a = make_snapshot("A", 9, 1, true), b = make_snapshot("B", 14, 2, true);
  const SaveStep steps[] = {SaveStep::kEarlierSaveSettled, SaveStep::kTempFilesWritten, SaveStep::kVectorsCommitted,
                            SaveStep::kGraphCommitted,     SaveStep::kQuantizerWritten, SaveStep::kLogRemoved};
  for (SaveStep stop : steps) {
    SCOPED_TRACE(static_cast<int>(stop));
    TempDir tmp;
    const std::string dir = tmp.file("nested/db");  // created by the save
    const Storage storage(dir);
    FileOps& ops = FileOps::posix();
    ASSERT_TRUE(save_database_files(ops, storage, files_of(a)).ok());
    Result<int> fd = ops.open_for_write(storage.log_path, WriteMode::kAppend);
    ASSERT_TRUE(ops.write_all(*fd, "x", 1).ok());
    ASSERT_TRUE(ops.close(*fd).ok());

    SaveHooks hooks{[stop](SaveStep step) -> Status {
      if (step == stop) return KelpoError::io("stopped");
      return Status::OK();
    }};
    EXPECT_FALSE(save_database_files(ops, storage, files_of(b), hooks).ok());
    Result<SavedGraph> saved = find_saved_graph(ops, storage);
    ASSERT_TRUE(saved.ok()) << saved.error().message();
    const uint32_t n = saved->graph.header.node_count;
    const bool log = ops.exists(storage.log_path).value();
    if (stop < SaveStep::kVectorsCommitted) {
      EXPECT_EQ(n, 9u);
      EXPECT_TRUE(log);
    } else {
      EXPECT_EQ(n, 14u);
      EXPECT_EQ(log, stop < SaveStep::kLogRemoved);
    }
    EXPECT_EQ(saved->source == GraphSource::kRolledForward, stop == SaveStep::kVectorsCommitted);
    EXPECT_EQ(ops.read_file(storage.vectors_path).value(), n == 9 ? a.vectors : b.vectors);
    const bool sq8 = ops.exists(storage.quantized_path).value();
    if (sq8) {
      EXPECT_EQ(ops.read_file(storage.quantized_path).value(), n == 9 ? a.sq8 : b.sq8);
    }
    EXPECT_EQ(sq8, stop == SaveStep::kEarlierSaveSettled || stop >= SaveStep::kQuantizerWritten);

    // A save without a quantizer removes the file; a directory removed under
    // the database is created again.
    std::filesystem::remove_all(dir);
    Snapshot plain = b;
    plain.sq8.clear();
    ASSERT_TRUE(save_database_files(ops, storage, files_of(plain)).ok());
    EXPECT_FALSE(ops.exists(storage.quantized_path).value());
    EXPECT_TRUE(ops.exists(storage.graph_path).value());
  }
}

}  // namespace
}  // namespace kelpo
