// Where the import parser's bytes come from: a file read in pieces, or (for
// tests) a string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/storage/file_ops.h"
#include "engine/util/error.h"

namespace kelpo {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes into buf; 0 means the end. -> io error
  virtual Result<size_t> read(char* buf, size_t n) = 0;
  // The total size when known, else 0: a hint for reserving memory only.
  virtual uint64_t size_hint() const { return 0; }
};

class FileSource final : public ByteSource {
 public:
  // -> io error carrying the operating system's text. `ops` must outlive
  // the source.
  static Result<std::unique_ptr<FileSource>> open(const std::string& path, FileOps& ops = FileOps::posix());
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  Result<size_t> read(char* buf, size_t n) override;
  uint64_t size_hint() const override { return size_; }

 private:
  FileSource(FileOps& ops, int fd, uint64_t size) : ops_(ops), fd_(fd), size_(size) {}
  FileOps& ops_;
  const int fd_;
  const uint64_t size_;
};

class StringSource final : public ByteSource {
 public:
  // `text` must outlive the source. Hands out at most `chunk` bytes per read,
  // so tests can make tokens straddle reads.
  explicit StringSource(std::string_view text, size_t chunk = SIZE_MAX) : text_(text), chunk_(chunk) {}
  Result<size_t> read(char* buf, size_t n) override;
  uint64_t size_hint() const override { return text_.size(); }

 private:
  std::string_view text_;
  size_t chunk_;
  size_t pos_ = 0;
};

}  // namespace kelpo
