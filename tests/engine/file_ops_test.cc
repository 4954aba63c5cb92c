#include "engine/storage/file_ops.h"

#include <sys/stat.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/storage/mem_file_ops.h"
#include "tests/engine/storage_test_util.h"

namespace kelpo {
namespace {

using testing::TempDir;

// A scripted write(2): each entry is what one call returns (bytes taken, or
// -errno).
std::vector<ssize_t> g_script;
size_t g_step = 0;
std::string g_written;

ssize_t scripted_write(int, const void* data, size_t n) {
  const ssize_t r = g_step < g_script.size() ? g_script[g_step++] : static_cast<ssize_t>(n);
  if (r < 0) {
    errno = static_cast<int>(-r);
    return -1;
  }
  const size_t took = std::min(n, static_cast<size_t>(r));
  g_written.append(static_cast<const char*>(data), took);
  return static_cast<ssize_t>(took);
}

// The positioned form: every call must ask for the bytes right after those
// already taken.
constexpr off_t kAt = 1000;
ssize_t scripted_pwrite(int fd, const void* data, size_t n, off_t offset) {
  EXPECT_EQ(offset, kAt + static_cast<off_t>(g_written.size()));
  return scripted_write(fd, data, n);
}

TEST(FileOpsTest, WriteAllResumesAfterShortWritesAndInterruptions) {
  const std::string data = "0123456789abcdef";
  for (bool positioned : {false, true}) {
    g_script = {3, -EINTR, 0 + 5, -EINTR, -EINTR, 1};
    g_step = 0;
    g_written.clear();
    ASSERT_TRUE((positioned ? write_all_at_with(scripted_pwrite, 7, data.data(), data.size(), kAt)
                            : write_all_with(scripted_write, 7, data.data(), data.size()))
                    .ok());
    EXPECT_EQ(g_written, data);
  }

  g_script = {4, -ENOSPC};
  g_step = 0;
  g_written.clear();
  Status st = write_all_with(scripted_write, 7, data.data(), data.size());
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "io error: No space left on device (os error 28)");
  EXPECT_EQ(g_written, "0123");

  // A call that takes nothing and reports nothing must not spin forever.
  g_script = {0};
  g_step = 0;
  EXPECT_FALSE(write_all_with(scripted_write, 7, data.data(), data.size()).ok());
}

TEST(FileOpsTest, PosixCallsAndTheirErrors) {
  TempDir dir;
  FileOps& ops = FileOps::posix();
  const std::string a = dir.file("a"), b = dir.file("b");

  Result<int> fd = ops.open_for_write(a, WriteMode::kTruncate);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(ops.write_all(*fd, "hello world", 11).ok());
  ASSERT_TRUE(ops.truncate(*fd, 5).ok());
  ASSERT_TRUE(ops.sync(*fd).ok());
  ASSERT_TRUE(ops.close(*fd).ok());
  fd = ops.open_for_write(a, WriteMode::kAppend);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(ops.write_all(*fd, "!", 1).ok());
  ASSERT_TRUE(ops.close(*fd).ok());
  EXPECT_EQ(ops.read_file(a).value(), "hello!");
  EXPECT_EQ(ops.file_size(a).value(), 6u);
  struct stat st;
  ASSERT_EQ(::stat(a.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0600, 0600u);

  // Truncating open empties; rename replaces; removal is idempotent.
  fd = ops.open_for_write(b, WriteMode::kTruncate);
  ASSERT_TRUE(fd.ok());
  ASSERT_TRUE(ops.close(*fd).ok());
  ASSERT_TRUE(ops.rename(a, b).ok());
  EXPECT_EQ(ops.read_file(b).value(), "hello!");
  EXPECT_FALSE(ops.exists(a).value());
  EXPECT_TRUE(ops.remove(b).ok());
  EXPECT_TRUE(ops.remove(b).ok());
  ASSERT_TRUE(ops.sync_dir(dir.path()).ok());

  // A path through a regular file does not exist; it is not an error.
  fd = ops.open_for_write(a, WriteMode::kTruncate);
  ASSERT_TRUE(ops.close(*fd).ok());
  EXPECT_FALSE(ops.exists(a + "/x").value());

  EXPECT_EQ(ops.read_file(dir.file("missing")).error().message(),
            "io error: No such file or directory (os error 2)");
  EXPECT_FALSE(ops.open_for_write(dir.file("no/such/dir"), WriteMode::kTruncate).ok());
  EXPECT_FALSE(ops.rename(dir.file("missing"), b).ok());
  EXPECT_FALSE(ops.create_directories(a + "/sub").ok());  // a is a file

  const std::string nested = dir.file("x/y/z");
  ASSERT_TRUE(ops.create_directories(nested).ok());
  ASSERT_TRUE(ops.create_directories(nested).ok());
  EXPECT_TRUE(ops.exists(nested).value());
  EXPECT_EQ(parent_directory(nested), dir.file("x/y"));
  EXPECT_EQ(parent_directory("plain"), ".");
}

TEST(FileOpsTest, InjectedFaultsHitTheChosenCallOnlyOrFromThenOn) {
  MemFileOps mem;
  ASSERT_TRUE(mem.create_directories("/d").ok());
  FaultInjectingFileOps ops(mem);
  auto run = [&] {
    // Calls: 0 open, 1 write, 2 write, 3 sync, 4 close, 5 rename.
    std::vector<bool> ok;
    Result<int> fd = ops.open_for_write("/d/t", WriteMode::kTruncate);
    ok.push_back(fd.ok());
    const int f = fd.ok() ? *fd : -1;
    ok.push_back(ops.write_all(f, "abcd", 4).ok());
    ok.push_back(ops.write_all(f, "efgh", 4).ok());
    ok.push_back(ops.sync(f).ok());
    ok.push_back(ops.close(f).ok());
    ok.push_back(ops.rename("/d/t", "/d/final").ok());
    return ok;
  };

  ops.set_fault(InjectedFault{.call = 2, .error = ENOSPC, .write_prefix = 1});
  EXPECT_EQ(run(), (std::vector<bool>{true, true, false, true, true, true}));
  EXPECT_EQ(mem.read_file("/d/final").value(), "abcde");  // the partial write landed
  const std::vector<FileCall> calls = ops.calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[2].describe(), "write t (failed)");
  EXPECT_EQ(calls[5].describe(), "rename t -> final");

  ops.set_fault(InjectedFault{.call = 6 + 3, .error = EIO, .persistent = true});
  EXPECT_EQ(run(), (std::vector<bool>{true, true, true, false, false, false}));
  EXPECT_EQ(ops.call_count(), 12u);
  EXPECT_EQ(ops.calls()[9].describe(), "sync t (failed)");
}

TEST(FileOpsTest, BufferedWriterBatchesSmallAppendsAndPassesLargeOnes) {
  MemFileOps mem;
  ASSERT_TRUE(mem.create_directories("/d").ok());
  FaultInjectingFileOps ops(mem);
  Result<int> fd = ops.open_for_write("/d/f", WriteMode::kTruncate);
  ASSERT_TRUE(fd.ok());

  std::string expected;
  BufferedFileWriter out(ops, *fd);
  out.append_u32(0x04030201);
  out.append_u8(0xFF);
  out.append_f32(1.0f);
  expected += std::string("\x01\x02\x03\x04\xFF\x00\x00\x80\x3F", 9);
  // Sizes around the buffer's edge, then one far larger than it.
  for (size_t n : {8000u, 183u, 1u, 8192u, 5u, 40000u, 3u}) {
    std::string chunk(n, static_cast<char>('a' + n % 26));
    out.append(chunk);
    expected += chunk;
  }
  const uint32_t words[2] = {1, 0xA0B0C0D0};
  out.append_u32s(words, 2);
  expected += std::string("\x01\x00\x00\x00\xD0\xC0\xB0\xA0", 8);
  ASSERT_TRUE(out.flush().ok());
  EXPECT_EQ(out.bytes_appended(), expected.size());
  EXPECT_EQ(mem.read_file("/d/f").value(), expected);
  // Writes are full buffers or large pass-throughs, never one per append.
  size_t writes = 0;
  for (const FileCall& c : ops.calls()) writes += c.op == FileOp::kWrite;
  EXPECT_LE(writes, expected.size() / BufferedFileWriter::kBufferSize + 4);

  // The first failure sticks: later appends are dropped and every report repeats it.
  ops.set_fault(InjectedFault{.call = ops.call_count(), .error = EIO});
  BufferedFileWriter failing(ops, *fd);
  failing.append(std::string(9000, 'x'));
  EXPECT_FALSE(failing.ok());
  failing.append_u32(7);
  EXPECT_EQ(failing.flush().error().message(), "io error: Input/output error (os error 5)");
  EXPECT_FALSE(failing.status().ok());
  EXPECT_EQ(mem.read_file("/d/f")->size(), expected.size());
}

TEST(FileOpsTest, MemFileSystemKeepsOnlySyncedStateAcrossPowerLoss) {
  MemFileOps mem;
  ASSERT_TRUE(mem.create_directories("/d").ok());
  mem.put_durable("/d/old", "old");
  Result<int> fd = mem.open_for_write("/d/new", WriteMode::kTruncate);
  ASSERT_TRUE(mem.write_all(*fd, "abc", 3).ok());
  ASSERT_TRUE(mem.sync(*fd).ok());
  ASSERT_TRUE(mem.write_all(*fd, "def", 3).ok());
  ASSERT_TRUE(mem.close(*fd).ok());
  ASSERT_TRUE(mem.sync_dir("/d").ok());
  ASSERT_TRUE(mem.rename("/d/new", "/d/old").ok());  // not made durable

  mem.power_loss();
  EXPECT_EQ(mem.read_file("/d/old").value(), "old");
  EXPECT_EQ(mem.read_file("/d/new").value(), "abc");
  EXPECT_EQ(mem.list("/d"), (std::vector<std::string>{"new", "old"}));
}

// The in-memory model stands in for the disk in the log's and the save's
// crash tests, so it must answer every descriptor call as the real file
// system does: run one random sequence of calls against both and compare
// every result and the final contents.
TEST(FileOpsTest, MemFileSystemAnswersLikeTheRealOne) {
  TempDir dir;
  MemFileOps mem;
  ASSERT_TRUE(mem.create_directories(dir.path()).ok());
  std::mt19937 rng(20261208);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string path = dir.file("f" + std::to_string(round % 3));
    const WriteMode mode = static_cast<WriteMode>(rng() % 3);
    int fds[2];
    FileOps* ops[2] = {&FileOps::posix(), &mem};
    for (int i = 0; i < 2; ++i) fds[i] = ops[i]->open_for_write(path, mode).value();
    int readers[2] = {-1, -1};
    for (int step = 0; step < 30; ++step) {
      const uint64_t offset = rng() % 64;
      const std::string bytes(rng() % 20, static_cast<char>('a' + rng() % 26));
      const unsigned what = rng() % 7;
      std::string got[2];
      for (int i = 0; i < 2; ++i) {
        FileOps& o = *ops[i];
        char buf[32] = {};
        switch (what) {
          // The model's write_all appends, as on the descriptors its callers
          // use it with; positioned writes go with the other modes (Linux
          // sends them to the end of an O_APPEND file).
          case 0:
            if (mode != WriteMode::kAppend) break;
            got[i] = o.write_all(fds[i], bytes.data(), bytes.size()).ok() ? "ok" : "err";
            break;
          case 1:
            if (mode == WriteMode::kAppend) break;
            got[i] = o.write_all_at(fds[i], bytes.data(), bytes.size(), offset).ok() ? "ok" : "err";
            break;
          case 2: got[i] = o.truncate(fds[i], offset).ok() ? "ok" : "err"; break;
          case 3: got[i] = std::to_string(o.fd_size(fds[i]).value()); break;
          case 4:
            if (readers[i] < 0) readers[i] = o.open_for_read(path).value();
            got[i] = std::string(buf, o.read(readers[i], buf, bytes.size()).value());
            break;
          case 5: {
            const int r = o.open_for_read(path).value();
            got[i] = std::string(buf, o.read_at(r, buf, bytes.size(), offset).value());
            EXPECT_TRUE(o.close(r).ok());
            break;
          }
          case 6: got[i] = std::to_string(o.file_size(path).value()); break;
        }
      }
      ASSERT_EQ(got[0], got[1]) << "call " << what << " at step " << step;
    }
    for (int i = 0; i < 2; ++i) {
      EXPECT_TRUE(ops[i]->close(fds[i]).ok());
      if (readers[i] >= 0) {
        EXPECT_TRUE(ops[i]->close(readers[i]).ok());
      }
    }
    ASSERT_EQ(FileOps::posix().read_file(path).value(), mem.read_file(path).value());
  }
}

}  // namespace
}  // namespace kelpo
