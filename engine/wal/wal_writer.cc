// Appending to the log, repairing a damaged tail before the first append, and
// removing the file.
#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

#include "engine/wal/wal.h"
#include "engine/wal/wal_format.h"

namespace kelpo {
namespace {

constexpr size_t kCopyChunk = 64 * 1024;

// Appends bytes [from, to) of the file at `path` to the file open as `out`.
// On failure `out` is cut back to its old length.
Status copy_range(FileOps& ops, const std::string& path, uint64_t from, uint64_t to, int out) {
  Result<uint64_t> out_size = ops.fd_size(out);
  if (!out_size.ok()) return out_size.error();
  Result<int> in = ops.open_for_read(path);
  if (!in.ok()) return in.error();
  Status st;
  std::string chunk(static_cast<size_t>(std::min<uint64_t>(kCopyChunk, to - from)), '\0');
  for (uint64_t at = from; at < to && st.ok();) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), to - at));
    Result<size_t> got = ops.read_at(*in, chunk.data(), want, at);
    if (!got.ok()) {
      st = got.error();
    } else if (*got == 0) {
      st = KelpoError::io_errno(EIO);  // the file shrank since it was measured
    } else {
      st = ops.write_all_at(out, chunk.data(), *got, *out_size + (at - from));
      at += *got;
    }
  }
  (void)ops.close(*in);
  if (!st.ok()) (void)ops.truncate(out, *out_size);  // best effort: leave the side file as it was
  return st;
}

}  // namespace

Wal::Wal(std::string path, FileOps* ops) : path_(std::move(path)), ops_(ops != nullptr ? ops : &FileOps::posix()) {}

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
  Status w;
  if (head < bytes.size()) w = ops_->write_all_at(fd_, bytes.data() + head, bytes.size() - head, end_ + head);
  if (w.ok()) w = ops_->write_all_at(fd_, bytes.data(), head, end_);
  if (w.ok()) {
    end_ += bytes.size();
    return Status::OK();
  }
  // Part of the batch may be in the file. Left there, it would sit in front of
  // every later record, and the reader stops at it: cut it off.
  const KelpoError error = w.error();
  if (!ops_->truncate(fd_, end_).ok()) {
    broken_ = KelpoError::io(error.io_detail() + "; the log could not be cut back, so it takes no more writes");
    (void)ops_->close(fd_);
    fd_ = -1;
    known_size_.reset();
  }
  return error;
}

void Wal::close() {
  if (fd_ < 0) return;
  // Everything was handed to the system by write(); nothing is buffered here,
  // and a failing close cannot take back what was written.
  (void)ops_->close(fd_);
  fd_ = -1;
  known_size_ = end_;
  known_good_end_ = end_;
}

void Wal::file_removed() {
  close();
  broken_.reset();
  known_size_ = 0;
  known_good_end_ = 0;
}

Status Wal::remove_file() {
  close();
  // A missing file is success: remove() only wants it gone.
  if (Status removed = ops_->remove(path_); !removed.ok()) {
    known_size_.reset();
    return removed;
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
  Result<int> opened = ops_->open_for_write(path_, WriteMode::kKeep);
  if (!opened.ok()) return opened.error();
  const int fd = *opened;
  Result<uint64_t> file_size = ops_->fd_size(fd);
  if (!file_size.ok()) {
    (void)ops_->close(fd);
    return file_size.error();
  }
  uint64_t size = *file_size;
  if (size > 0) {
    Result<uint64_t> good_end = good_end_for(size);
    Status cut = good_end.ok() ? Status::OK() : Status(good_end.error());
    if (cut.ok() && *good_end < size) cut = cut_tail(fd, *good_end, size);
    if (!cut.ok()) {
      (void)ops_->close(fd);
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
  Result<int> out = ops_->open_for_write(corrupt_path(), WriteMode::kKeep);
  if (!out.ok()) return out.error();
  Status st = copy_range(*ops_, path_, good_end, size, *out);
  Status closed = ops_->close(*out);
  if (st.ok()) st = std::move(closed);
  KELPO_RETURN_IF_ERROR(st);
  // Only now that the bytes are kept elsewhere is the log shortened.
  return ops_->truncate(fd, good_end);
}

}  // namespace kelpo
