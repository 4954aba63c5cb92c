#include "engine/wal/wal_file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelpo {

int WalFileOps::open(const char* path, int flags, mode_t mode) {
  const int fd = ::open(path, flags, mode);
  return fd < 0 ? -errno : fd;
}

ssize_t WalFileOps::pread(int fd, void* buf, size_t n, uint64_t offset) {
  const ssize_t r = ::pread(fd, buf, n, static_cast<off_t>(offset));
  return r < 0 ? -errno : r;
}

ssize_t WalFileOps::pwrite(int fd, const void* buf, size_t n, uint64_t offset) {
  const ssize_t r = ::pwrite(fd, buf, n, static_cast<off_t>(offset));
  return r < 0 ? -errno : r;
}

int WalFileOps::ftruncate(int fd, uint64_t length) {
  return ::ftruncate(fd, static_cast<off_t>(length)) < 0 ? -errno : 0;
}

int WalFileOps::file_size(int fd, uint64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) < 0) return -errno;
  *size = static_cast<uint64_t>(st.st_size);
  return 0;
}

int WalFileOps::close(int fd) { return ::close(fd) < 0 ? -errno : 0; }

int WalFileOps::unlink(const char* path) { return ::unlink(path) < 0 ? -errno : 0; }

WalFileOps& WalFileOps::system() {
  static WalFileOps ops;
  return ops;
}

}  // namespace kelpo
