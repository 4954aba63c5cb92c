#include "engine/db/writer_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

namespace kelpo {

namespace {

DirFingerprint::File file_print(const std::string& path) {
  DirFingerprint::File f;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return f;
  f.exists = true;
  f.dev = st.st_dev;
  f.ino = st.st_ino;
  f.size = static_cast<uint64_t>(st.st_size);
  f.mtime_ns = int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
  return f;
}

struct Held {
  int fd = -1;
  size_t shares = 0;
};

// Every directory this process holds the lock of, by (device, inode), with
// the one descriptor that holds it; and how each directory looked when the
// process last let go of it. One mutex guards both.
struct Registry {
  std::mutex mu;
  std::map<std::pair<uint64_t, uint64_t>, Held> held;
  std::map<std::pair<uint64_t, uint64_t>, DirFingerprint> left;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: databases may outlive static destruction
  return *r;
}

std::string lock_path(const std::string& dir) { return (std::filesystem::path(dir) / kWriterLockFileName).string(); }

}  // namespace

DirFingerprint DirFingerprint::of(const std::string& dir) {
  DirFingerprint p;
  p.log = file_print((std::filesystem::path(dir) / "wal.kelpo").string());
  p.graph = file_print((std::filesystem::path(dir) / "graph.kelpo").string());
  return p;
}

Status WriterLock::acquire(const std::string& dir, const DirFingerprint& opened) {
  if (held_) return Status::OK();
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return KelpoError::io_errno(errno);
  const std::pair<uint64_t, uint64_t> key{st.st_dev, st.st_ino};
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mu);
  auto it = r.held.find(key);
  if (it == r.held.end()) {
    const int fd = ::open(lock_path(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return KelpoError::io_errno(errno);
    struct flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &fl) != 0) {
      const int err = errno;
      if (err != EACCES && err != EAGAIN) {
        ::close(fd);
        return KelpoError::io_errno(err);
      }
      struct flock who{};
      who.l_type = F_WRLCK;
      who.l_whence = SEEK_SET;
      const bool known = ::fcntl(fd, F_GETLK, &who) == 0 && who.l_type != F_UNLCK;
      ::close(fd);
      return KelpoError::io("database is being written by another process" +
                            (known ? " (pid " + std::to_string(who.l_pid) + ")" : std::string()));
    }
    // Another process may have written and let go between our open and now.
    const DirFingerprint now = DirFingerprint::of(dir);
    auto left = r.left.find(key);
    if (now != opened && (left == r.left.end() || left->second != now)) {
      ::close(fd);  // our only descriptor of the file: the lock goes with it
      return KelpoError::io("database was changed by another process since it was opened; open it again");
    }
    it = r.held.emplace(key, Held{fd, 0}).first;
  }
  ++it->second.shares;
  held_ = true;
  dev_ = key.first;
  ino_ = key.second;
  dir_ = dir;
  return Status::OK();
}

void WriterLock::release() {
  if (!held_) return;
  held_ = false;
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.mu);
  const std::pair<uint64_t, uint64_t> key{dev_, ino_};
  auto it = r.held.find(key);
  if (it == r.held.end() || --it->second.shares > 0) return;
  // What this process leaves behind: a later writer of this process that
  // opened before these writes still sees its own process's work, not a
  // stranger's.
  r.left[key] = DirFingerprint::of(dir_);
  ::close(it->second.fd);
  r.held.erase(it);
}

}  // namespace kelpo
