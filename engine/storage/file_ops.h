// FileOps: every file-system call made on a database directory (the log, the
// graph and vector files, the quantizer file, temporaries, directory syncs)
// and by export and import, behind one interface, so tests can fail or record
// any single call, or simulate a power loss (mem_file_ops.h).
//
// Every failure is an io error carrying the operating system's text,
// "io error: {strerror} (os error N)". Handles are plain descriptors (ints)
// handed out by open_for_write and open_for_read; implementations other than
// PosixFileOps may use their own numbering.
//
// Two calls stay outside, because they only mean something on a real file
// system: the read-only mapping of vectors.bin (see mappable()) and the
// process lock on writer.lock (engine/db/writer_lock.h).
//
// FaultInjectingFileOps wraps another FileOps, numbers every call from 0,
// records it, and can fail a chosen call once or from then on.
//
// BufferedFileWriter batches small appends into 8192-byte writes and encodes
// integers and floats little-endian.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/util/error.h"

namespace kelpo {

enum class WriteMode : uint8_t {
  kTruncate,  // create (0666 before the umask) or empty an existing file
  kAppend,    // create or append at the end
  kKeep,      // create or open as it is; write_all_at says where bytes go
};

class FileOps {
 public:
  virtual ~FileOps() = default;

  virtual Result<int> open_for_write(const std::string& path, WriteMode mode) = 0;
  // Writes all n bytes, retrying short writes and interrupted calls.
  virtual Status write_all(int fd, const void* data, size_t n) = 0;
  // Writes all n bytes at `offset` (the descriptor's position is not used
  // or moved), retrying short writes and interrupted calls.
  virtual Status write_all_at(int fd, const void* data, size_t n, uint64_t offset) = 0;
  // Makes the file's contents durable (fsync).
  virtual Status sync(int fd) = 0;
  virtual Status truncate(int fd, uint64_t size) = 0;
  // Releases the descriptor whatever the outcome.
  virtual Status close(int fd) = 0;

  virtual Result<int> open_for_read(const std::string& path) = 0;
  // Reads up to n bytes from the descriptor's position; 0 at the end of the
  // file. Retries interrupted calls.
  virtual Result<size_t> read(int fd, void* buf, size_t n) = 0;
  // Reads up to n bytes at `offset`; 0 at the end of the file. Retries
  // interrupted calls.
  virtual Result<size_t> read_at(int fd, void* buf, size_t n, uint64_t offset) = 0;
  // The size of the open file.
  virtual Result<uint64_t> fd_size(int fd) = 0;

  // Atomically replaces `to` by `from`.
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  // Removing a file that does not exist is success: callers only want it gone.
  virtual Status remove(const std::string& path) = 0;
  // Makes the directory's entries (creations, renames, removals) durable.
  virtual Status sync_dir(const std::string& dir) = 0;
  // Creates the directory and its missing parents (0777 before the umask);
  // an existing directory is fine.
  virtual Status create_directories(const std::string& dir) = 0;

  virtual Result<std::string> read_file(const std::string& path) = 0;
  virtual Result<uint64_t> file_size(const std::string& path) = 0;
  // False only when the path (or a directory on it) does not exist; any other
  // failure to look is an error, so an unreadable database is never taken
  // for a missing one.
  virtual Result<bool> exists(const std::string& path) = 0;

  // Whether the operating system can map these files into memory by path
  // (true for the real file system only). Where it cannot, readers read the
  // file through read_file instead of mapping it.
  virtual bool mappable() const = 0;

  // The real file system. Shared, stateless, thread-safe.
  static FileOps& posix();
};

// The shape of the PosixFileOps overrides, for wrappers below and elsewhere.
#define KELPO_FILE_OPS_OVERRIDES                                                          \
  Result<int> open_for_write(const std::string& path, WriteMode mode) override;           \
  Status write_all(int fd, const void* data, size_t n) override;                          \
  Status write_all_at(int fd, const void* data, size_t n, uint64_t offset) override;      \
  Status sync(int fd) override;                                                           \
  Status truncate(int fd, uint64_t size) override;                                        \
  Status close(int fd) override;                                                          \
  Result<int> open_for_read(const std::string& path) override;                            \
  Result<size_t> read(int fd, void* buf, size_t n) override;                              \
  Result<size_t> read_at(int fd, void* buf, size_t n, uint64_t offset) override;          \
  Result<uint64_t> fd_size(int fd) override;                                              \
  Status rename(const std::string& from, const std::string& to) override;                 \
  Status remove(const std::string& path) override;                                        \
  Status sync_dir(const std::string& dir) override;                                       \
  Status create_directories(const std::string& dir) override;                             \
  Result<std::string> read_file(const std::string& path) override;                        \
  Result<uint64_t> file_size(const std::string& path) override;                           \
  Result<bool> exists(const std::string& path) override;                                  \
  bool mappable() const override;

class PosixFileOps final : public FileOps {
 public:
  KELPO_FILE_OPS_OVERRIDES
};

// Passes every call on to another FileOps: the base of test doubles that
// change one or two calls.
class ForwardingFileOps : public FileOps {
 public:
  // `base` must outlive this object.
  explicit ForwardingFileOps(FileOps& base) : base_(base) {}
  KELPO_FILE_OPS_OVERRIDES

 protected:
  FileOps& base_;
};

// The write loops behind PosixFileOps::write_all and write_all_at, with the
// system call passed in so tests can hand them short writes and
// interruptions.
using WriteFn = ssize_t (*)(int fd, const void* data, size_t n);
Status write_all_with(WriteFn write_fn, int fd, const void* data, size_t n);
using PwriteFn = ssize_t (*)(int fd, const void* data, size_t n, off_t offset);
Status write_all_at_with(PwriteFn pwrite_fn, int fd, const void* data, size_t n, uint64_t offset);

// Whether a failed call failed because the file (or a directory on its path)
// does not exist.
bool is_not_found(const KelpoError& error);

// The directory part of a path ("." when it has none).
std::string parent_directory(const std::string& path);

enum class FileOp : uint8_t {
  kOpen,  // open_for_write
  kWrite,
  kWriteAt,
  kSync,
  kTruncate,
  kClose,
  kOpenForRead,
  kRead,
  kReadAt,
  kFdSize,
  kRename,
  kRemove,
  kSyncDir,
  kCreateDirectories,
  kReadFile,
  kFileSize,
  kExists,
};
inline constexpr size_t kFileOpCount = static_cast<size_t>(FileOp::kExists) + 1;

const char* file_op_name(FileOp op);

// One call as FaultInjectingFileOps saw it. `path` is the file the call is
// about (for descriptor calls, the path the descriptor was opened with; for
// rename, the source); `target` is rename's destination.
struct FileCall {
  FileOp op;
  std::string path;
  std::string target;
  bool failed = false;
  // "rename graph.tmp -> graph.kelpo", with file names only.
  std::string describe() const;
};

struct InjectedFault {
  size_t call = 0;          // number of the call to fail, counting from 0
  int error = EIO;          // errno to report
  bool persistent = false;  // also fail every later call, as a dead disk or a killed process would
  // A failing write (write_all or write_all_at) first writes this many bytes
  // (clamped to the request): the partial write a full disk leaves behind.
  size_t write_prefix = 0;
};

class FaultInjectingFileOps final : public FileOps {
 public:
  // `base` must outlive this object.
  explicit FaultInjectingFileOps(FileOps& base) : base_(base) {}

  void set_fault(std::optional<InjectedFault> fault);
  // Runs before every call is passed on (outside this object's lock, on the
  // calling thread): for tests that copy the disk at every step of a run.
  // Set it before the calls start.
  void set_before_call(std::function<void()> f) { before_call_ = std::move(f); }
  // Calls made so far (failed ones included).
  size_t call_count() const;
  std::vector<FileCall> calls() const;
  void clear_calls();

  KELPO_FILE_OPS_OVERRIDES

 private:
  // Records the call; returns the injected error if this call is to fail.
  std::optional<KelpoError> begin(FileOp op, const std::string& path, const std::string& target = "");
  std::string fd_path(int fd) const;
  // The bytes a failing write still writes.
  size_t write_prefix(size_t n) const;
  Result<int> remember(Result<int> fd, const std::string& path);

  FileOps& base_;
  std::function<void()> before_call_;
  mutable std::mutex mu_;
  std::optional<InjectedFault> fault_;   // guarded by mu_
  std::vector<FileCall> calls_;          // guarded by mu_
  size_t next_call_ = 0;                 // guarded by mu_; not reset by clear_calls
  std::map<int, std::string> fd_paths_;  // guarded by mu_
};

// Appends to an open descriptor through an 8192-byte buffer. Appends never
// fail on their own: the first write error is kept, later appends are
// dropped, and flush() (or status()) reports it. Does not own the descriptor.
class BufferedFileWriter {
 public:
  static constexpr size_t kBufferSize = 8192;

  BufferedFileWriter(FileOps& ops, int fd);
  BufferedFileWriter(const BufferedFileWriter&) = delete;
  BufferedFileWriter& operator=(const BufferedFileWriter&) = delete;

  void append(const void* data, size_t n);
  void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
  void append_u8(uint8_t v) { append(&v, 1); }
  void append_u32(uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    append(b, 4);
  }
  void append_f32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    append_u32(bits);
  }
  // Raw little-endian words or floats, in one piece when they are long.
  void append_u32s(const uint32_t* v, size_t n);
  void append_f32s(const float* v, size_t n);

  // Writes out what is buffered.
  Status flush();
  bool ok() const { return !error_.has_value(); }
  Status status() const;
  // Bytes accepted by append so far, written or still buffered.
  uint64_t bytes_appended() const { return appended_; }

 private:
  FileOps& ops_;
  const int fd_;
  std::unique_ptr<char[]> buf_;
  size_t used_ = 0;
  uint64_t appended_ = 0;
  std::optional<KelpoError> error_;
};

}  // namespace kelpo
