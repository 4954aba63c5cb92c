// Reading the log back: every record in order, stopping at the first one that
// cannot be trusted, skipping those that are intact but undecodable.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "engine/util/crc32.h"
#include "engine/wal/wal.h"
#include "engine/wal/wal_format.h"

namespace kelpo {
namespace {

// Sequential reads of the first `limit` bytes of a file through one buffer.
class BufferedReader {
 public:
  enum class Got { kAll, kEnd, kError };

  BufferedReader(FileOps& ops, int fd, uint64_t limit) : ops_(ops), fd_(fd), limit_(limit) {}

  // Copies the next n bytes into dst. kEnd when the file (or the limit) ends
  // first; kError with *err set when a read fails.
  Got read_exact(char* dst, size_t n, std::optional<KelpoError>* err) {
    while (n > 0) {
      if (pos_ == len_) {
        // Big payloads go straight to their destination, not through the buffer.
        const bool direct = n >= sizeof(buf_);
        Got g = fill(direct ? dst : buf_, direct ? n : sizeof(buf_), err);
        if (g != Got::kAll) return g;
        if (direct) {
          const size_t got = len_;
          len_ = pos_ = 0;
          dst += got;
          n -= got;
          continue;
        }
      }
      const size_t take = std::min(n, len_ - pos_);
      std::memcpy(dst, buf_ + pos_, take);
      pos_ += take;
      dst += take;
      n -= take;
    }
    return Got::kAll;
  }

  // Bytes consumed so far.
  uint64_t offset() const { return file_pos_ - (len_ - pos_); }
  uint64_t remaining() const { return limit_ - offset(); }

 private:
  // One read of up to `want` bytes into `into`; sets len_ to the bytes read.
  Got fill(char* into, size_t want, std::optional<KelpoError>* err) {
    if (file_pos_ >= limit_) return Got::kEnd;
    want = static_cast<size_t>(std::min<uint64_t>(want, limit_ - file_pos_));
    Result<size_t> r = ops_.read_at(fd_, into, want, file_pos_);
    if (!r.ok()) {
      *err = r.error();
      return Got::kError;
    }
    if (*r == 0) return Got::kEnd;  // the file shrank under us: its end came early
    file_pos_ += *r;
    len_ = *r;
    pos_ = 0;
    return Got::kAll;
  }

  FileOps& ops_;
  const int fd_;
  const uint64_t limit_;
  uint64_t file_pos_ = 0;  // next offset to read from the file
  char buf_[wal::kReadBufferSize];
  size_t pos_ = 0;  // next unread byte in buf_
  size_t len_ = 0;  // valid bytes in buf_
};

uint32_t load_u32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
}

// Walks the records of the first `size` bytes of the file, handing the tag and
// payload of each record whose CRC matches to on_record, and records in
// *stats how far the good records reach.
template <class OnRecord>
Status scan_records(FileOps& ops, int fd, uint64_t size, WalReadStats* stats, OnRecord on_record) {
  *stats = WalReadStats();
  stats->file_size = size;
  BufferedReader in(ops, fd, size);
  std::string payload;
  std::optional<KelpoError> err;
  for (;;) {
    char header[wal::kHeaderSize];
    BufferedReader::Got got = in.read_exact(header, sizeof(header), &err);
    if (got == BufferedReader::Got::kError) return *err;
    // The end of the file inside the header: a write cut short (or no more records).
    if (got == BufferedReader::Got::kEnd) break;
    const auto tag = static_cast<uint8_t>(header[0]);
    const uint32_t length = load_u32(header + 1);
    // The length is not under the CRC. One that reaches past the end of the file
    // is a torn write or a damaged length; either way nothing behind it can be
    // trusted, and it must not size an allocation.
    if (length > in.remaining() || in.remaining() - length < wal::kTrailerSize) break;
    payload.resize(length);
    got = in.read_exact(payload.data(), length, &err);
    if (got == BufferedReader::Got::kError) return *err;
    if (got == BufferedReader::Got::kEnd) break;
    char trailer[wal::kTrailerSize];
    got = in.read_exact(trailer, sizeof(trailer), &err);
    if (got == BufferedReader::Got::kError) return *err;
    if (got == BufferedReader::Got::kEnd) break;
    const uint32_t crc = crc32_extend(crc32(&tag, 1), payload.data(), payload.size());
    // A damaged record: its length may be damaged too, so where the next record
    // starts is unknown. Nothing after it is read.
    if (crc != load_u32(trailer)) break;
    stats->good_end = in.offset();
    ++stats->records;
    on_record(tag, std::string_view(payload));
  }
  return Status::OK();
}

// Opens the log read-only: its descriptor and size, or nothing when it is
// missing, or an error.
Result<std::optional<std::pair<int, uint64_t>>> open_for_reading(FileOps& ops, const std::string& path) {
  using Opened = std::optional<std::pair<int, uint64_t>>;
  Result<int> fd = ops.open_for_read(path);
  if (!fd.ok()) {
    if (is_not_found(fd.error())) return Opened();
    return fd.error();
  }
  Result<uint64_t> size = ops.fd_size(*fd);
  if (!size.ok()) {
    (void)ops.close(*fd);
    return size.error();
  }
  return Opened(std::make_pair(*fd, *size));
}

}  // namespace

Result<std::vector<WalEntry>> Wal::read() {
  std::vector<WalEntry> entries;
  auto opened = open_for_reading(*ops_, path_);
  if (!opened.ok()) return opened.error();
  if (!opened->has_value()) {  // no log: nothing was written since the last save
    last_read_ = WalReadStats();
    known_size_ = 0;
    known_good_end_ = 0;
    return entries;
  }
  const auto [fd, size] = **opened;
  WalReadStats stats;
  const Status s = scan_records(*ops_, fd, size, &stats, [&](uint8_t tag, std::string_view payload) {
    std::optional<WalEntry> e = decode_wal_payload(tag, payload);
    if (e.has_value()) {
      entries.push_back(std::move(*e));
    } else {
      ++stats.skipped;  // intact but undecodable: this entry only is lost
    }
  });
  (void)ops_->close(fd);
  if (!s.ok()) return s.error();
  last_read_ = stats;
  known_size_ = stats.file_size;
  known_good_end_ = stats.good_end;
  return entries;
}

Result<uint64_t> Wal::good_end_for(uint64_t size) {
  if (known_size_.has_value() && *known_size_ == size) return known_good_end_;
  auto opened = open_for_reading(*ops_, path_);
  if (!opened.ok()) return opened.error();
  if (!opened->has_value()) return KelpoError::io_errno(ENOENT);
  const auto [fd, read_size] = **opened;
  WalReadStats stats;
  const Status s = scan_records(*ops_, fd, std::min(size, read_size), &stats, [](uint8_t, std::string_view) {});
  (void)ops_->close(fd);
  if (!s.ok()) return s.error();
  return stats.good_end;
}

}  // namespace kelpo
