// The log after damage: repairing a torn tail before appending, undoing failed
// appends, and reporting I/O errors, with failures injected through FileOps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/wal/wal.h"
#include "tests/engine/db_test_util.h"
#include "tests/engine/wal_test_util.h"

namespace kelpo {
namespace {

using testing::append_all;
using testing::delete_record;
using testing::deletes;
using testing::read_bytes;
using testing::read_ids;
using testing::write_bytes;
using Ids = std::vector<std::string>;

// Real system calls, except the ones a test tells to fail.
class FaultyOps : public ForwardingFileOps {
 public:
  FaultyOps() : ForwardingFileOps(FileOps::posix()) {}

  int fail_write = -1;      // index of the write call that fails (-1: none)
  bool short_write = false;  // that call writes half before it fails
  bool fail_writes_forever = false;
  int write_error = ENOSPC;
  int fail_truncate = 0;    // truncate calls still to fail with EIO
  int fail_open = 0;        // open calls still to fail with EACCES
  int fail_pread = 0;       // positioned reads still to fail with EIO
  int writes = 0;

  Result<int> open_for_write(const std::string& path, WriteMode mode) override {
    if (take(fail_open)) return KelpoError::io_errno(EACCES);
    return ForwardingFileOps::open_for_write(path, mode);
  }
  Result<int> open_for_read(const std::string& path) override {
    if (take(fail_open)) return KelpoError::io_errno(EACCES);
    return ForwardingFileOps::open_for_read(path);
  }
  Status write_all_at(int fd, const void* buf, size_t n, uint64_t offset) override {
    const int k = writes++;
    if (k == fail_write || (fail_writes_forever && k >= fail_write)) {
      if (short_write && k == fail_write && n > 1) (void)ForwardingFileOps::write_all_at(fd, buf, n / 2, offset);
      return KelpoError::io_errno(write_error);
    }
    return ForwardingFileOps::write_all_at(fd, buf, n, offset);
  }
  Status truncate(int fd, uint64_t length) override {
    if (take(fail_truncate)) return KelpoError::io_errno(EIO);
    return ForwardingFileOps::truncate(fd, length);
  }
  Result<size_t> read_at(int fd, void* buf, size_t n, uint64_t offset) override {
    if (take(fail_pread)) return KelpoError::io_errno(EIO);
    return ForwardingFileOps::read_at(fd, buf, n, offset);
  }

 private:
  static bool take(int& budget) { return budget > 0 && budget-- > 0; }
};

using WalRecovery = testing::ScratchDir;

// Without the repair, records appended behind a torn tail would be lost at
// every later open, though each append reported success.
TEST_F(WalRecovery, AppendsAfterATornTailAreReadBack) {
  const std::string good = delete_record("a") + delete_record("b");
  const std::string torn = delete_record("c").substr(0, 9);
  write_bytes(path(), good + torn);

  Wal wal(path());
  Result<std::vector<WalEntry>> replay = wal.read();
  ASSERT_TRUE(replay.ok());
  EXPECT_EQ(testing::ids_of(*replay), (Ids{"a", "b"}));
  EXPECT_EQ(read_bytes(path()), good + torn) << "reading alone changes no file";

  append_all(wal, {deletes({"d"}), deletes({"e", "f"})});
  EXPECT_EQ(read_ids(path()), (Ids{"a", "b", "d", "e", "f"}));
  EXPECT_EQ(read_bytes(path() + ".corrupt"), torn) << "the cut bytes are kept, not destroyed";
}

TEST_F(WalRecovery, RepairWithoutAPriorReadAndAfterMidFileDamage) {
  // A CRC mismatch in the middle: the intact record behind it is unreadable in
  // place, so it moves out to the side file with the damaged one.
  std::string damaged = delete_record("y");
  damaged[7] ^= 0x20;
  write_bytes(path(), delete_record("x") + damaged + delete_record("z"));
  write_bytes(path() + ".corrupt", "older");
  {
    Wal wal(path());  // as a database created over an old log would: no read first
    append_all(wal, {deletes({"new"})});
  }
  EXPECT_EQ(read_ids(path()), (Ids{"x", "new"}));
  EXPECT_EQ(read_bytes(path() + ".corrupt"), "older" + damaged + delete_record("z"));

  // A clean log is appended to as it is, with no side file touched.
  std::filesystem::remove(path() + ".corrupt");
  Wal again(path());
  append_all(again, {deletes({"more"})});
  EXPECT_EQ(read_ids(path()), (Ids{"x", "new", "more"}));
  EXPECT_FALSE(std::filesystem::exists(path() + ".corrupt"));
}

TEST_F(WalRecovery, RepairThatCannotKeepTheBytesLeavesTheLogAlone) {
  const std::string bytes = delete_record("a") + "\x02\x07";
  write_bytes(path(), bytes);
  FaultyOps ops;
  Wal wal(path(), &ops);
  ASSERT_TRUE(wal.read().ok());
  ops.fail_write = 0;  // the copy into the side file
  const Status s = wal.append(deletes({"b"}));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "io error: No space left on device (os error 28)");
  EXPECT_EQ(read_bytes(path()), bytes);
  EXPECT_EQ(read_bytes(path() + ".corrupt"), "");
  ASSERT_TRUE(wal.append(deletes({"b"})).ok());  // the next attempt repairs and appends
  EXPECT_EQ(read_ids(path()), (Ids{"a", "b"}));
}

// Fail each write call of a sequence of appends in turn, plainly or after a
// short write: the failing append leaves the file as it was, and every append
// that succeeded, before or after, reads back.
TEST_F(WalRecovery, FailedAppendsLeaveNoPartialRecord) {
  for (bool short_write : {false, true}) {
    for (int k = 0; k < 4; ++k) {
      std::filesystem::remove(path());
      FaultyOps ops;
      ops.fail_write = k;
      ops.short_write = short_write;
      Wal wal(path(), &ops);
      Ids acknowledged;
      for (int i = 0; i < 6; ++i) {
        const std::string before = read_bytes(path());
        WalBatch b;
        b.add_delete("id" + std::to_string(i));
        b.add_delete("pair" + std::to_string(i));
        if (wal.append(b).ok()) {
          acknowledged.push_back("id" + std::to_string(i));
          acknowledged.push_back("pair" + std::to_string(i));
        } else {
          EXPECT_EQ(read_bytes(path()), before) << "k=" << k << " short=" << short_write;
        }
      }
      EXPECT_EQ(acknowledged.size(), 10u);  // one append of six failed
      EXPECT_EQ(read_ids(path()), acknowledged) << "k=" << k << " short=" << short_write;
    }
  }
}

// A process killed inside an append leaves whatever prefix of its writes had
// reached the file, and cannot cut it back. Stop the writes after every byte
// count in turn: the log must replay the batch whole or not at all, and the
// next writer must append behind the earlier records as usual.
TEST_F(WalRecovery, ABatchCutOffAtAnyByteReplaysWholeOrNotAtAll) {
  struct DiesAfter : ForwardingFileOps {
    DiesAfter() : ForwardingFileOps(FileOps::posix()) {}
    size_t budget = 0;
    Status write_all_at(int fd, const void* buf, size_t n, uint64_t offset) override {
      const size_t take = std::min(n, budget);
      budget -= take;
      if (take > 0) (void)ForwardingFileOps::write_all_at(fd, buf, take, offset);
      return take == n ? Status::OK() : Status(KelpoError::io_errno(EIO));
    }
    Status truncate(int, uint64_t) override { return KelpoError::io_errno(EIO); }
  };
  WalBatch batch;
  for (const char* id : {"b1", "b2", "b3"}) batch.add_delete(id);
  for (size_t budget = 0; budget <= batch.bytes().size(); ++budget) {
    std::filesystem::remove(path());
    std::filesystem::remove(path() + ".corrupt");
    {
      Wal wal(path());
      append_all(wal, {deletes({"a"})});
    }
    DiesAfter ops;
    ops.budget = budget;
    {
      Wal dying(path(), &ops);
      const bool acknowledged = dying.append(batch).ok();
      EXPECT_EQ(acknowledged, budget == batch.bytes().size());
    }
    const Ids ids = read_ids(path());
    if (budget < batch.bytes().size()) {
      EXPECT_EQ(ids, Ids{"a"}) << "budget " << budget;
    } else {
      EXPECT_EQ(ids, (Ids{"a", "b1", "b2", "b3"}));
    }
    Wal next(path());
    append_all(next, {deletes({"c"})});
    Ids expected = ids;
    expected.push_back("c");
    EXPECT_EQ(read_ids(path()), expected) << "budget " << budget;
  }
}

// If the partial record cannot be cut off either, appending more would bury it
// in front of later records: refuse until the log is reopened, whose first
// append then repairs the tail.
TEST_F(WalRecovery, UndoableFailureRefusesFurtherAppends) {
  FaultyOps ops;
  ops.fail_write = 1;
  ops.short_write = true;
  ops.fail_truncate = 1;
  {
    Wal wal(path(), &ops);
    append_all(wal, {deletes({"a"})});
    const Status failed = wal.append(deletes({"b"}));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "io error: No space left on device (os error 28)");
    const Status refused = wal.append(deletes({"c"}));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), ErrorKind::kIo);
    EXPECT_NE(refused.error().message().find("No space left on device"), std::string::npos);
    EXPECT_EQ(read_ids(path()), Ids{"a"});
  }
  Wal reopened(path());
  ASSERT_TRUE(reopened.read().ok());
  append_all(reopened, {deletes({"d"})});
  EXPECT_EQ(read_ids(path()), (Ids{"a", "d"}));
}

TEST_F(WalRecovery, RemoveFileClearsARefusedLog) {
  FaultyOps ops;
  ops.fail_write = 0;
  ops.fail_writes_forever = true;
  ops.fail_truncate = 1;
  Wal wal(path(), &ops);
  ASSERT_FALSE(wal.append(deletes({"a"})).ok());
  ops.fail_writes_forever = false;
  ops.fail_write = -1;
  ASSERT_FALSE(wal.append(deletes({"b"})).ok());
  ASSERT_TRUE(wal.remove_file().ok());  // a save made the log redundant
  EXPECT_FALSE(std::filesystem::exists(path()));
  append_all(wal, {deletes({"c"})});
  EXPECT_EQ(read_ids(path()), Ids{"c"});
  ASSERT_TRUE(wal.remove_file().ok());
  ASSERT_TRUE(wal.remove_file().ok()) << "a missing file is not an error";
}

TEST_F(WalRecovery, OpenAndReadFailuresAreIoErrors) {
  FaultyOps ops;
  Wal wal(path(), &ops);
  ops.fail_open = 1;
  Status s = wal.append(deletes({"a"}));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "io error: Permission denied (os error 13)");
  EXPECT_FALSE(wal.is_open());
  append_all(wal, {deletes({"a"})});

  ops.fail_open = 1;
  Result<std::vector<WalEntry>> r = wal.read();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "io error: Permission denied (os error 13)");
  ops.fail_pread = 1;
  r = wal.read();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "io error: Input/output error (os error 5)");
  r = wal.read();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 1u);
}

}  // namespace
}  // namespace kelpo

namespace kelpo {
namespace {

// Every file of a directory, name -> bytes.
std::map<std::string, std::string> directory_bytes(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    out[entry.path().filename().string()] = read_bytes(entry.path().string());
  }
  return out;
}

// A directory that holds only a log (written, never saved) is the whole
// database: opening it with another dim must refuse, naming both, and leave
// every byte as it was, so opening with the right dim still finds the writes.
TEST(WalReplay, NeverSavedLogOfAnotherDimensionRefusesToOpen) {
  testing_util::ScratchDir dir;
  {
    auto db = testing_util::open_db(dir.path(), 2);
    ASSERT_TRUE(db->add("a", {1, 2}, Json{{"k", 1}}).ok());
    ASSERT_TRUE(db->add("b", {3, 4}, std::nullopt).ok());
    ASSERT_TRUE(db->update("a", std::vector<float>{5, 6}, std::nullopt).ok());
  }
  const auto before = directory_bytes(dir.path());
  for (size_t dim : {1, 3, 64}) {
    auto wrong = Database::open_or_create_with_config(dir.path(), dim, Metric::kEuclidean, {});
    ASSERT_FALSE(wrong.ok()) << "dim " << dim;
    EXPECT_EQ(wrong.error().kind(), ErrorKind::kDimensionMismatch);
    const std::string& text = wrong.error().message();
    EXPECT_NE(text.find("dim=" + std::to_string(dim)), std::string::npos) << text;
    EXPECT_NE(text.find("dimension 2"), std::string::npos) << text;
    EXPECT_EQ(directory_bytes(dir.path()), before);
  }
  auto right = testing_util::open_db(dir.path(), 2);
  EXPECT_EQ(right->count(nullptr), 2u);
  EXPECT_EQ(right->get("a").value().first, (std::vector<float>{5, 6}));
}

}  // namespace
}  // namespace kelpo
