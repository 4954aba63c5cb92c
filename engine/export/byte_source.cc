#include "engine/export/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelpo {

Result<std::unique_ptr<FileSource>> FileSource::open(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return KelpoError::io_errno(errno);
  struct stat st;
  const uint64_t size = (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ? static_cast<uint64_t>(st.st_size) : 0;
  return std::unique_ptr<FileSource>(new FileSource(fd, size));
}

FileSource::~FileSource() { ::close(fd_); }

Result<size_t> FileSource::read(char* buf, size_t n) {
  for (;;) {
    const ssize_t r = ::read(fd_, buf, n);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno != EINTR) return KelpoError::io_errno(errno);
  }
}

Result<size_t> StringSource::read(char* buf, size_t n) {
  const size_t take = std::min({n, chunk_, text_.size() - pos_});
  std::memcpy(buf, text_.data() + pos_, take);
  pos_ += take;
  return take;
}

}  // namespace kelpo
