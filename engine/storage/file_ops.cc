#include "engine/storage/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>
#include <utility>

#include "engine/util/huge_pages.h"

namespace kelpo {

static_assert(std::endian::native == std::endian::little,
              "the file formats are little-endian and raw float runs are written as they lie in memory");

namespace {

ssize_t posix_write(int fd, const void* data, size_t n) { return ::write(fd, data, n); }
ssize_t posix_pwrite(int fd, const void* data, size_t n, off_t offset) { return ::pwrite(fd, data, n, offset); }

Status errno_status() { return KelpoError::io_errno(errno); }

std::string file_name(const std::string& path) { return std::filesystem::path(path).filename().string(); }

}  // namespace

namespace {

// Hands `chunk(p, n, done)` the bytes not yet written until all are: a
// system call's loop, resuming after short writes and interruptions.
template <class Chunk>
Status write_loop(const void* data, size_t n, Chunk chunk) {
  const char* p = static_cast<const char*>(data);
  uint64_t done = 0;
  while (n > 0) {
    // Linux writes at most about 2 GiB per call; ask for no more than that.
    const ssize_t w = chunk(p, std::min<size_t>(n, size_t{1} << 30), done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno_status();
    }
    if (w == 0) return KelpoError::io_errno(ENOSPC);  // no progress and no error: treat as a full device
    p += w;
    done += static_cast<uint64_t>(w);
    n -= static_cast<size_t>(w);
  }
  return Status::OK();
}

}  // namespace

Status write_all_with(WriteFn write_fn, int fd, const void* data, size_t n) {
  return write_loop(data, n, [&](const char* p, size_t len, uint64_t) { return write_fn(fd, p, len); });
}

Status write_all_at_with(PwriteFn pwrite_fn, int fd, const void* data, size_t n, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) - n) return KelpoError::io_errno(EFBIG);
  return write_loop(data, n, [&](const char* p, size_t len, uint64_t done) {
    return pwrite_fn(fd, p, len, static_cast<off_t>(offset + done));
  });
}

bool is_not_found(const KelpoError& error) {
  static const std::string kMissing = KelpoError::io_errno(ENOENT).message();
  return error.message() == kMissing;
}

std::string parent_directory(const std::string& path) {
  std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

FileOps& FileOps::posix() {
  static PosixFileOps ops;
  return ops;
}

namespace {

Result<int> open_retrying(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return KelpoError::io_errno(errno);
  return fd;
}

}  // namespace

Result<int> PosixFileOps::open_for_write(const std::string& path, WriteMode mode) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  if (mode == WriteMode::kTruncate) flags |= O_TRUNC;
  if (mode == WriteMode::kAppend) flags |= O_APPEND;
  return open_retrying(path, flags, 0666);
}

Status PosixFileOps::write_all(int fd, const void* data, size_t n) { return write_all_with(posix_write, fd, data, n); }

Status PosixFileOps::write_all_at(int fd, const void* data, size_t n, uint64_t offset) {
  return write_all_at_with(posix_pwrite, fd, data, n, offset);
}

Result<int> PosixFileOps::open_for_read(const std::string& path) { return open_retrying(path, O_RDONLY | O_CLOEXEC, 0); }

Result<size_t> PosixFileOps::read(int fd, void* buf, size_t n) {
  for (;;) {
    const ssize_t r = ::read(fd, buf, n);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return KelpoError::io_errno(errno);
  }
}

Result<size_t> PosixFileOps::read_at(int fd, void* buf, size_t n, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return size_t{0};  // past any end
  for (;;) {
    const ssize_t r = ::pread(fd, buf, n, static_cast<off_t>(offset));
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return KelpoError::io_errno(errno);
  }
}

Result<uint64_t> PosixFileOps::fd_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return KelpoError::io_errno(errno);
  return static_cast<uint64_t>(st.st_size);
}

Status PosixFileOps::sync(int fd) {
  // No retry on failure: after a failed fsync the kernel may have dropped the
  // dirty pages, and a second fsync can report success for data that is gone.
  if (::fsync(fd) != 0) return errno_status();
  return Status::OK();
}

Status PosixFileOps::truncate(int fd, uint64_t size) {
  if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return KelpoError::io_errno(EFBIG);
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return errno_status();
  return Status::OK();
}

Status PosixFileOps::close(int fd) {
  // Linux releases the descriptor even when close reports EINTR, so never retry.
  if (::close(fd) != 0 && errno != EINTR) return errno_status();
  return Status::OK();
}

Status PosixFileOps::rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return errno_status();
  return Status::OK();
}

Status PosixFileOps::remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return errno_status();
  return Status::OK();
}

Status PosixFileOps::sync_dir(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno_status();
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  if (rc != 0) return KelpoError::io_errno(err);
  return Status::OK();
}

Status PosixFileOps::create_directories(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return KelpoError::io_errno(ec.value());
  return Status::OK();
}

Result<std::string> PosixFileOps::read_file(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return KelpoError::io_errno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return KelpoError::io_errno(err);
  }
  // The size is a hint: read until end of file, however long that turns out.
  // One byte of room beyond it lets the read that finds the end land in the
  // same buffer, so a file that kept its size is read without regrowing (and
  // copying) the whole buffer.
  std::string out;
  const size_t room = st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 1;
  reserve_huge(out, room);
  out.resize(room);
  size_t got = 0;
  for (;;) {
    if (got == out.size()) out.resize(out.size() + 65536);
    const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return KelpoError::io_errno(err);
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  out.resize(got);
  return out;
}

Result<uint64_t> PosixFileOps::file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return KelpoError::io_errno(errno);
  return static_cast<uint64_t>(st.st_size);
}

Result<bool> PosixFileOps::exists(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  return KelpoError::io_errno(errno);
}

bool PosixFileOps::mappable() const { return true; }

// ---------------------------------------------------------------------------

Result<int> ForwardingFileOps::open_for_write(const std::string& path, WriteMode mode) {
  return base_.open_for_write(path, mode);
}
Status ForwardingFileOps::write_all(int fd, const void* data, size_t n) { return base_.write_all(fd, data, n); }
Status ForwardingFileOps::write_all_at(int fd, const void* data, size_t n, uint64_t offset) {
  return base_.write_all_at(fd, data, n, offset);
}
Status ForwardingFileOps::sync(int fd) { return base_.sync(fd); }
Status ForwardingFileOps::truncate(int fd, uint64_t size) { return base_.truncate(fd, size); }
Status ForwardingFileOps::close(int fd) { return base_.close(fd); }
Result<int> ForwardingFileOps::open_for_read(const std::string& path) { return base_.open_for_read(path); }
Result<size_t> ForwardingFileOps::read(int fd, void* buf, size_t n) { return base_.read(fd, buf, n); }
Result<size_t> ForwardingFileOps::read_at(int fd, void* buf, size_t n, uint64_t offset) {
  return base_.read_at(fd, buf, n, offset);
}
Result<uint64_t> ForwardingFileOps::fd_size(int fd) { return base_.fd_size(fd); }
Status ForwardingFileOps::rename(const std::string& from, const std::string& to) { return base_.rename(from, to); }
Status ForwardingFileOps::remove(const std::string& path) { return base_.remove(path); }
Status ForwardingFileOps::sync_dir(const std::string& dir) { return base_.sync_dir(dir); }
Status ForwardingFileOps::create_directories(const std::string& dir) { return base_.create_directories(dir); }
Result<std::string> ForwardingFileOps::read_file(const std::string& path) { return base_.read_file(path); }
Result<uint64_t> ForwardingFileOps::file_size(const std::string& path) { return base_.file_size(path); }
Result<bool> ForwardingFileOps::exists(const std::string& path) { return base_.exists(path); }
bool ForwardingFileOps::mappable() const { return base_.mappable(); }

// ---------------------------------------------------------------------------

const char* file_op_name(FileOp op) {
  switch (op) {
    case FileOp::kOpen: return "open";
    case FileOp::kWrite: return "write";
    case FileOp::kWriteAt: return "write_at";
    case FileOp::kOpenForRead: return "open_for_read";
    case FileOp::kRead: return "read";
    case FileOp::kReadAt: return "read_at";
    case FileOp::kFdSize: return "fd_size";
    case FileOp::kSync: return "sync";
    case FileOp::kTruncate: return "truncate";
    case FileOp::kClose: return "close";
    case FileOp::kRename: return "rename";
    case FileOp::kRemove: return "remove";
    case FileOp::kSyncDir: return "sync_dir";
    case FileOp::kCreateDirectories: return "create_directories";
    case FileOp::kReadFile: return "read_file";
    case FileOp::kFileSize: return "file_size";
    case FileOp::kExists: return "exists";
  }
  return "?";
}

std::string FileCall::describe() const {
  std::string s = std::string(file_op_name(op)) + " " + file_name(path);
  if (!target.empty()) s += " -> " + file_name(target);
  if (failed) s += " (failed)";
  return s;
}

void FaultInjectingFileOps::set_fault(std::optional<InjectedFault> fault) {
  std::lock_guard<std::mutex> lock(mu_);
  fault_ = fault;
}

size_t FaultInjectingFileOps::call_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return next_call_;
}

std::vector<FileCall> FaultInjectingFileOps::calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

void FaultInjectingFileOps::clear_calls() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
}

std::optional<KelpoError> FaultInjectingFileOps::begin(FileOp op, const std::string& path, const std::string& target) {
  if (before_call_) before_call_();
  std::lock_guard<std::mutex> lock(mu_);
  const size_t k = next_call_++;
  const bool fail = fault_.has_value() && (k == fault_->call || (fault_->persistent && k > fault_->call));
  calls_.push_back(FileCall{op, path, target, fail});
  if (!fail) return std::nullopt;
  return KelpoError::io_errno(fault_->error);
}

std::string FaultInjectingFileOps::fd_path(int fd) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = fd_paths_.find(fd);
  return it == fd_paths_.end() ? std::string("fd ") + std::to_string(fd) : it->second;
}

Result<int> FaultInjectingFileOps::remember(Result<int> fd, const std::string& path) {
  if (fd.ok()) {
    std::lock_guard<std::mutex> lock(mu_);
    fd_paths_[*fd] = path;
  }
  return fd;
}

size_t FaultInjectingFileOps::write_prefix(size_t n) const {
  std::lock_guard<std::mutex> lock(mu_);
  return fault_ ? std::min(n, fault_->write_prefix) : 0;
}

Result<int> FaultInjectingFileOps::open_for_write(const std::string& path, WriteMode mode) {
  if (auto err = begin(FileOp::kOpen, path)) return *err;
  return remember(base_.open_for_write(path, mode), path);
}

Status FaultInjectingFileOps::write_all(int fd, const void* data, size_t n) {
  if (auto err = begin(FileOp::kWrite, fd_path(fd))) {
    // The partial write is best effort; the injected error is what counts.
    if (const size_t prefix = write_prefix(n); prefix > 0) (void)base_.write_all(fd, data, prefix);
    return *err;
  }
  return base_.write_all(fd, data, n);
}

Status FaultInjectingFileOps::write_all_at(int fd, const void* data, size_t n, uint64_t offset) {
  if (auto err = begin(FileOp::kWriteAt, fd_path(fd))) {
    if (const size_t prefix = write_prefix(n); prefix > 0) (void)base_.write_all_at(fd, data, prefix, offset);
    return *err;
  }
  return base_.write_all_at(fd, data, n, offset);
}

Result<int> FaultInjectingFileOps::open_for_read(const std::string& path) {
  if (auto err = begin(FileOp::kOpenForRead, path)) return *err;
  return remember(base_.open_for_read(path), path);
}

Result<size_t> FaultInjectingFileOps::read(int fd, void* buf, size_t n) {
  if (auto err = begin(FileOp::kRead, fd_path(fd))) return *err;
  return base_.read(fd, buf, n);
}

Result<size_t> FaultInjectingFileOps::read_at(int fd, void* buf, size_t n, uint64_t offset) {
  if (auto err = begin(FileOp::kReadAt, fd_path(fd))) return *err;
  return base_.read_at(fd, buf, n, offset);
}

Result<uint64_t> FaultInjectingFileOps::fd_size(int fd) {
  if (auto err = begin(FileOp::kFdSize, fd_path(fd))) return *err;
  return base_.fd_size(fd);
}

bool FaultInjectingFileOps::mappable() const { return base_.mappable(); }

Status FaultInjectingFileOps::sync(int fd) {
  if (auto err = begin(FileOp::kSync, fd_path(fd))) return *err;
  return base_.sync(fd);
}

Status FaultInjectingFileOps::truncate(int fd, uint64_t size) {
  if (auto err = begin(FileOp::kTruncate, fd_path(fd))) return *err;
  return base_.truncate(fd, size);
}

Status FaultInjectingFileOps::close(int fd) {
  const std::string path = fd_path(fd);
  {
    std::lock_guard<std::mutex> lock(mu_);
    fd_paths_.erase(fd);
  }
  auto err = begin(FileOp::kClose, path);
  // A failed close still releases the descriptor, as the real call does.
  Status st = base_.close(fd);
  if (err) return *err;
  return st;
}

Status FaultInjectingFileOps::rename(const std::string& from, const std::string& to) {
  if (auto err = begin(FileOp::kRename, from, to)) return *err;
  return base_.rename(from, to);
}

Status FaultInjectingFileOps::remove(const std::string& path) {
  if (auto err = begin(FileOp::kRemove, path)) return *err;
  return base_.remove(path);
}

Status FaultInjectingFileOps::sync_dir(const std::string& dir) {
  if (auto err = begin(FileOp::kSyncDir, dir)) return *err;
  return base_.sync_dir(dir);
}

Status FaultInjectingFileOps::create_directories(const std::string& dir) {
  if (auto err = begin(FileOp::kCreateDirectories, dir)) return *err;
  return base_.create_directories(dir);
}

Result<std::string> FaultInjectingFileOps::read_file(const std::string& path) {
  if (auto err = begin(FileOp::kReadFile, path)) return *err;
  return base_.read_file(path);
}

Result<uint64_t> FaultInjectingFileOps::file_size(const std::string& path) {
  if (auto err = begin(FileOp::kFileSize, path)) return *err;
  return base_.file_size(path);
}

Result<bool> FaultInjectingFileOps::exists(const std::string& path) {
  if (auto err = begin(FileOp::kExists, path)) return *err;
  return base_.exists(path);
}

// ---------------------------------------------------------------------------

BufferedFileWriter::BufferedFileWriter(FileOps& ops, int fd)
    : ops_(ops), fd_(fd), buf_(new char[kBufferSize]) {}

void BufferedFileWriter::append(const void* data, size_t n) {
  if (error_ || n == 0) return;
  appended_ += n;
  const char* p = static_cast<const char*>(data);
  if (used_ + n <= kBufferSize) {
    std::memcpy(buf_.get() + used_, p, n);
    used_ += n;
    return;
  }
  // Top up the buffer, write it, and send anything of a full buffer's size or
  // more straight through rather than copying it in 8 KiB pieces.
  const size_t fill = kBufferSize - used_;
  std::memcpy(buf_.get() + used_, p, fill);
  used_ = kBufferSize;
  p += fill;
  n -= fill;
  if (!flush().ok()) return;
  if (n >= kBufferSize) {
    Status st = ops_.write_all(fd_, p, n);
    if (!st.ok()) error_ = st.error();
    return;
  }
  std::memcpy(buf_.get(), p, n);
  used_ = n;
}

void BufferedFileWriter::append_u32s(const uint32_t* v, size_t n) { append(v, n * sizeof(uint32_t)); }

void BufferedFileWriter::append_f32s(const float* v, size_t n) { append(v, n * sizeof(float)); }

Status BufferedFileWriter::flush() {
  if (error_) return *error_;
  if (used_ == 0) return Status::OK();
  Status st = ops_.write_all(fd_, buf_.get(), used_);
  used_ = 0;
  if (!st.ok()) error_ = st.error();
  return st;
}

Status BufferedFileWriter::status() const {
  if (error_) return *error_;
  return Status::OK();
}

}  // namespace kelpo
