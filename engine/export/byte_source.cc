#include "engine/export/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelpo {

Result<std::unique_ptr<FileSource>> FileSource::open(const std::string& path, FileOps& ops) {
  Result<int> fd = ops.open_for_read(path);
  if (!fd.ok()) return fd.error();
  // Only a hint: a pipe or a device reports no useful size, and a failure
  // to learn it costs a few reallocations, not the import.
  Result<uint64_t> size = ops.fd_size(*fd);
  return std::unique_ptr<FileSource>(new FileSource(ops, *fd, size.ok() ? *size : 0));
}

FileSource::~FileSource() { (void)ops_.close(fd_); }

Result<size_t> FileSource::read(char* buf, size_t n) { return ops_.read(fd_, buf, n); }

Result<size_t> StringSource::read(char* buf, size_t n) {
  const size_t take = std::min({n, chunk_, text_.size() - pos_});
  std::memcpy(buf, text_.data() + pos_, take);
  pos_ += take;
  return take;
}

}  // namespace kelpo
