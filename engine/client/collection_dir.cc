#include "engine/client/collection_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/wal/wal_record.h"

namespace kelpo {
namespace {

// Closes a DIR* on every way out.
class DirHandle {
 public:
  explicit DirHandle(DIR* d) : d_(d) {}
  ~DirHandle() {
    if (d_ != nullptr) ::closedir(d_);
  }
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  DIR* get() const { return d_; }

 private:
  DIR* d_;
};

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Removes everything inside the open directory `fd`, then the directory
// `name` itself from `parent_fd`. Takes ownership of fd.
Status empty_and_remove(int parent_fd, const char* name, int fd) {
  DirHandle dir(::fdopendir(fd));
  if (dir.get() == nullptr) {
    const int err = errno;
    ::close(fd);
    return KelpoError::io_errno(err);
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return KelpoError::io_errno(errno);
      break;
    }
    if (is_dot_or_dotdot(entry->d_name)) continue;
    // Anything but a directory (a symbolic link included) goes with one unlink.
    if (::unlinkat(::dirfd(dir.get()), entry->d_name, 0) == 0 || errno == ENOENT) continue;
    const int unlink_err = errno;
    if (unlink_err != EISDIR && unlink_err != EPERM) return KelpoError::io_errno(unlink_err);
    const int child = ::openat(::dirfd(dir.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) {
      if (errno == ENOENT) continue;
      // Not a directory after all: the unlink's refusal is the real reason.
      return KelpoError::io_errno(errno == ENOTDIR || errno == ELOOP ? unlink_err : errno);
    }
    KELPO_RETURN_IF_ERROR(empty_and_remove(::dirfd(dir.get()), entry->d_name, child));
  }
  if (::unlinkat(parent_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) return KelpoError::io_errno(errno);
  return Status::OK();
}

}  // namespace

Result<std::vector<std::string>> list_collection_dirs(const std::string& root) {
  DirHandle dir(::opendir(root.c_str()));
  if (dir.get() == nullptr) return KelpoError::io_errno(errno);
  const int root_fd = ::dirfd(dir.get());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return KelpoError::io_errno(errno);
      break;
    }
    const char* name = entry->d_name;
    if (is_dot_or_dotdot(name)) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(root_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return KelpoError::io_errno(errno);
      is_dir = S_ISDIR(st.st_mode);
    }
    if (!is_dir || !valid_utf8(name)) continue;
    const std::string marker = std::string(name) + "/" + kCollectionMarker;
    struct stat st;
    if (::fstatat(root_fd, marker.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    names.emplace_back(name);
  }
  // std::string compares as unsigned bytes.
  std::sort(names.begin(), names.end());
  return names;
}

Status remove_tree(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return Status::OK();
  const int unlink_err = errno;
  if (unlink_err != EISDIR && unlink_err != EPERM) return KelpoError::io_errno(unlink_err);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Status::OK();
    return KelpoError::io_errno(errno == ENOTDIR || errno == ELOOP ? unlink_err : errno);
  }
  return empty_and_remove(AT_FDCWD, path.c_str(), fd);
}

}  // namespace kelpo
