// WalFileOps: the few system calls the write-ahead log makes, behind one seam, so
// that a test can make any one of them fail (ENOSPC, EIO, a short write) and
// check what the log does then. The default instance calls the system.
//
// Every call returns what its system call returns, except that failures come
// back as -errno instead of -1 with errno set.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kelpo {

class WalFileOps {
 public:
  virtual ~WalFileOps() = default;

  // A file descriptor, or -errno.
  virtual int open(const char* path, int flags, mode_t mode);
  // Bytes read (0 at end of file), or -errno.
  virtual ssize_t pread(int fd, void* buf, size_t n, uint64_t offset);
  // Bytes written at `offset` (possibly fewer than n), or -errno.
  virtual ssize_t pwrite(int fd, const void* buf, size_t n, uint64_t offset);
  // 0, or -errno.
  virtual int ftruncate(int fd, uint64_t length);
  // 0 with *size set, or -errno.
  virtual int file_size(int fd, uint64_t* size);
  // 0, or -errno.
  virtual int close(int fd);
  // 0, or -errno.
  virtual int unlink(const char* path);

  // The instance that calls the system; lives for the whole process.
  static WalFileOps& system();
};

}  // namespace kelpo
