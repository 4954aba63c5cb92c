// Appending to the log, repairing a damaged tail before the first append, and
// removing the file.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

#include "engine/wal/wal.h"
#include "engine/wal/wal_format.h"

namespace kelpo {
namespace {

constexpr mode_t kFileMode = 0666;  // before the umask
constexpr size_t kCopyChunk = 64 * 1024;

// Writes all n bytes at `offset`, resuming after short writes. 0, or -errno.
int write_all(WalFileOps& ops, int fd, const char* p, size_t n, uint64_t offset) {
  while (n > 0) {
    const ssize_t w = ops.pwrite(fd, p, n, offset);
    if (w == -EINTR) continue;
    if (w < 0) return static_cast<int>(w);
    if (w == 0) return -EIO;  // no progress and no reason given: do not spin
    p += w;
    offset += static_cast<uint64_t>(w);
    n -= static_cast<size_t>(w);
  }
  return 0;
}

// Appends bytes [from, to) of the file at `path` to the file open as `out`.
// On failure `out` is cut back to its old length. 0, or -errno.
int copy_range(WalFileOps& ops, const std::string& path, uint64_t from, uint64_t to, int out) {
  uint64_t out_size = 0;
  int r = ops.file_size(out, &out_size);
  if (r != 0) return r;
  const int in = ops.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (in < 0) return in;
  std::string chunk(static_cast<size_t>(std::min<uint64_t>(kCopyChunk, to - from)), '\0');
  for (uint64_t at = from; at < to && r == 0;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), to - at));
    const ssize_t got = ops.pread(in, chunk.data(), want, at);
    if (got == -EINTR) continue;
    if (got <= 0) {
      r = got < 0 ? static_cast<int>(got) : -EIO;  // the file shrank since it was measured
      break;
    }
    r = write_all(ops, out, chunk.data(), static_cast<size_t>(got), out_size + (at - from));
    at += static_cast<uint64_t>(got);
  }
  ops.close(in);
  if (r != 0) ops.ftruncate(out, out_size);  // best effort: leave the side file as it was
  return r;
}

}  // namespace

Wal::Wal(std::string path, WalFileOps* ops) : path_(std::move(path)), ops_(ops != nullptr ? ops : &WalFileOps::system()) {}

Wal::~Wal() { close(); }

Wal::Wal(Wal&& other) noexcept
    : path_(std::move(other.path_)),
      ops_(other.ops_),
      fd_(std::exchange(other.fd_, -1)),
      end_(other.end_),
      broken_(std::move(other.broken_)),
      known_size_(other.known_size_),
      known_good_end_(other.known_good_end_),
      last_read_(other.last_read_) {}

Wal& Wal::operator=(Wal&& other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    ops_ = other.ops_;
    fd_ = std::exchange(other.fd_, -1);
    end_ = other.end_;
    broken_ = std::move(other.broken_);
    known_size_ = other.known_size_;
    known_good_end_ = other.known_good_end_;
    last_read_ = other.last_read_;
  }
  return *this;
}

std::string Wal::corrupt_path() const { return path_ + wal::kCorruptSuffix; }

Status Wal::append(const WalBatch& batch) {
  if (broken_.has_value()) return *broken_;
  KELPO_RETURN_IF_ERROR(batch.status());
  if (batch.empty()) return Status::OK();
  if (fd_ < 0) KELPO_RETURN_IF_ERROR(open_writer());

  // A process killed inside write() can leave any prefix of it in the file,
  // and the reader would replay the whole records in that prefix: half a
  // batch. So the batch's first record is written last. Until it lands, the
  // bytes at end_ are a hole that reads as zeros, which no record starts
  // with, so the reader stops there and none of the batch is replayed; once
  // it lands, every record behind it is already in place.
  const std::string_view bytes = batch.bytes();
  const size_t head = batch.first_record_size();
  int w = 0;
  if (head < bytes.size()) w = write_all(*ops_, fd_, bytes.data() + head, bytes.size() - head, end_ + head);
  if (w == 0) w = write_all(*ops_, fd_, bytes.data(), head, end_);
  if (w == 0) {
    end_ += bytes.size();
    return Status::OK();
  }
  // Part of the batch may be in the file. Left there, it would sit in front of
  // every later record, and the reader stops at it: cut it off.
  const KelpoError error = KelpoError::io_errno(-w);
  if (ops_->ftruncate(fd_, end_) != 0) {
    broken_ = KelpoError::io(error.io_detail() + "; the log could not be cut back, so it takes no more writes");
    ops_->close(fd_);
    fd_ = -1;
    known_size_.reset();
  }
  return error;
}

void Wal::close() {
  if (fd_ < 0) return;
  // Everything was handed to the system by write(); nothing is buffered here,
  // and a failing close cannot take back what was written.
  ops_->close(fd_);
  fd_ = -1;
  known_size_ = end_;
  known_good_end_ = end_;
}

Status Wal::remove_file() {
  close();
  const int r = ops_->unlink(path_.c_str());
  if (r != 0 && r != -ENOENT) {
    known_size_.reset();
    return KelpoError::io_errno(-r);
  }
  // The file is gone, and with it any partial record that made appends unsafe.
  broken_.reset();
  known_size_ = 0;
  known_good_end_ = 0;
  return Status::OK();
}

Status Wal::open_writer() {
  // Not O_APPEND: appends are positioned writes at end_ (see append), which
  // O_APPEND would send to the end of the file instead.
  const int fd = ops_->open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) return KelpoError::io_errno(-fd);
  uint64_t size = 0;
  int r = ops_->file_size(fd, &size);
  if (r != 0) {
    ops_->close(fd);
    return KelpoError::io_errno(-r);
  }
  if (size > 0) {
    Result<uint64_t> good_end = good_end_for(size);
    Status cut = good_end.ok() ? Status::OK() : Status(good_end.error());
    if (cut.ok() && *good_end < size) cut = cut_tail(fd, *good_end, size);
    if (!cut.ok()) {
      ops_->close(fd);
      return cut;
    }
    size = *good_end;
  }
  fd_ = fd;
  end_ = size;
  known_size_.reset();  // the file is about to grow; end_ is the truth while open
  return Status::OK();
}

Status Wal::cut_tail(int fd, uint64_t good_end, uint64_t size) {
  const std::string side = corrupt_path();
  const int out = ops_->open(side.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, kFileMode);
  if (out < 0) return KelpoError::io_errno(-out);
  int r = copy_range(*ops_, path_, good_end, size, out);
  const int closed = ops_->close(out);
  if (r == 0) r = closed;
  if (r != 0) return KelpoError::io_errno(-r);
  // Only now that the bytes are kept elsewhere is the log shortened.
  r = ops_->ftruncate(fd, good_end);
  if (r != 0) return KelpoError::io_errno(-r);
  return Status::OK();
}

}  // namespace kelpo
