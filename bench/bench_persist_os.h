// Operating-system helpers for the persistence benchmark: resident memory,
// the page cache (drop, fill, measure), syncing files by name, running a
// child process, and a FileOps that times every call a save or an open makes
// and can turn syncing off.
#pragma once

#include <sys/resource.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/storage/file_ops.h"

namespace kelpo::bench {

using Clock = std::chrono::steady_clock;
inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }
// CPU seconds (user and system, every thread) this process has used: on a
// machine shared with other work, an open's wall time mostly measures the
// others.
inline double process_cpu_seconds() {
  struct rusage u;
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Resident memory of this process, split as the kernel counts it: anonymous
// pages (heap, stacks) and file-backed pages (mapped files, shared with the
// page cache and dropped under pressure without writing anything).
struct Rss {
  size_t anon = 0;
  size_t file = 0;
  size_t total() const { return anon + file; }
};

inline Rss rss_now() {
  Rss r;
  std::ifstream in("/proc/self/status");
  std::string key;
  size_t kb = 0;
  while (in >> key) {
    if (key == "RssAnon:" && in >> kb) r.anon = kb * 1024;
    else if (key == "RssFile:" && in >> kb) r.file = kb * 1024;
    else if (key == "RssShmem:" && in >> kb) r.file += kb * 1024;
  }
  return r;
}

// The regular files directly in `dir` (or `dir` itself when it is a file).
inline std::vector<std::string> files_of(const std::string& dir) {
  std::vector<std::string> out;
  if (std::filesystem::is_regular_file(dir)) return {dir};
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.is_regular_file()) out.push_back(e.path().string());
  }
  return out;
}

inline uint64_t bytes_of(const std::vector<std::string>& files) {
  uint64_t total = 0;
  for (const auto& f : files) total += std::filesystem::file_size(f);
  return total;
}

// fsync on the file (or directory) by name. False on any failure.
inline bool fsync_path(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Asks the kernel to drop the file's pages from the page cache. Only clean
// pages go, so the file must have been synced.
inline bool drop_from_cache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  ::close(fd);
  return ok;
}

// Reads the whole file once so its pages are cached, without mapping it into
// this process.
inline void read_into_cache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<char> buf(1 << 20);
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  ::close(fd);
}

// Share of the files' pages in the page cache (mincore over a mapping that
// is never touched, so measuring adds nothing).
inline double cached_fraction(const std::vector<std::string>& files) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  size_t pages = 0, cached = 0;
  for (const auto& path : files) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
      const size_t len = static_cast<size_t>(st.st_size);
      void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) {
        std::vector<unsigned char> vec((len + page - 1) / page);
        if (::mincore(p, len, vec.data()) == 0) {
          for (unsigned char v : vec) cached += v & 1;
          pages += vec.size();
        }
        ::munmap(p, len);
      }
    }
    ::close(fd);
  }
  return pages ? static_cast<double>(cached) / static_cast<double>(pages) : 0.0;
}

// Runs `command` through the shell and returns what it wrote to stdout;
// `ok` is false when it could not be run or exited with a failure.
inline std::string run_capture(const std::string& command, bool& ok) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) {
    ok = false;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ok = ::pclose(p) == 0;
  return out;
}

inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

// Times every call it passes on to the real file system. Per file (by name
// within its directory) it keeps the wall time from open to close, the time
// spent in fsync and the bytes written; directory syncs, renames and reads
// are summed. With syncing off, sync and sync_dir succeed without calling
// the kernel: a save then costs what an unsynced writer pays.
class TimingFileOps final : public FileOps {
 public:
  struct FileStat {
    double open_to_close = 0, sync = 0;
    uint64_t bytes = 0;
  };

  bool syncing = true;
  std::map<std::string, FileStat> files;
  double dir_sync = 0, rename_s = 0, remove_s = 0, read_s = 0, other_s = 0;
  size_t dir_syncs = 0;
  // When the first call since reset() was made.
  Clock::time_point first_call;
  bool any_call = false;

  // Forgets every figure (not the syncing switch).
  void reset() {
    files.clear();
    dir_sync = rename_s = remove_s = read_s = other_s = 0;
    dir_syncs = 0;
    any_call = false;
    open_at_.clear();
    fd_name_.clear();
  }

  Result<int> open_for_write(const std::string& path, WriteMode mode) override {
    const auto t = mark();
    Result<int> fd = base().open_for_write(path, mode);
    if (fd.ok()) {
      fd_name_[*fd] = name(path);
      open_at_[*fd] = t;
    }
    return fd;
  }
  Status write_all(int fd, const void* data, size_t n) override {
    mark();
    files[fd_name_[fd]].bytes += n;
    return base().write_all(fd, data, n);
  }
  Status sync(int fd) override {
    const auto t = mark();
    if (!syncing) return Status::OK();
    Status s = base().sync(fd);
    files[fd_name_[fd]].sync += seconds_since(t);
    return s;
  }
  Status truncate(int fd, uint64_t size) override {
    const auto t = mark();
    Status s = base().truncate(fd, size);
    other_s += seconds_since(t);
    return s;
  }
  Status close(int fd) override {
    mark();
    Status s = base().close(fd);
    auto it = open_at_.find(fd);
    if (it != open_at_.end()) {
      files[fd_name_[fd]].open_to_close += seconds_since(it->second);
      open_at_.erase(it);
    }
    return s;
  }
  Status rename(const std::string& from, const std::string& to) override {
    const auto t = mark();
    Status s = base().rename(from, to);
    rename_s += seconds_since(t);
    return s;
  }
  Status remove(const std::string& path) override {
    const auto t = mark();
    Status s = base().remove(path);
    remove_s += seconds_since(t);
    return s;
  }
  Status sync_dir(const std::string& dir) override {
    const auto t = mark();
    if (!syncing) return Status::OK();
    Status s = base().sync_dir(dir);
    dir_sync += seconds_since(t);
    ++dir_syncs;
    return s;
  }
  Status create_directories(const std::string& dir) override {
    const auto t = mark();
    Status s = base().create_directories(dir);
    other_s += seconds_since(t);
    return s;
  }
  Result<std::string> read_file(const std::string& path) override {
    const auto t = mark();
    Result<std::string> r = base().read_file(path);
    read_s += seconds_since(t);
    return r;
  }
  Result<uint64_t> file_size(const std::string& path) override {
    const auto t = mark();
    Result<uint64_t> r = base().file_size(path);
    other_s += seconds_since(t);
    return r;
  }
  Result<bool> exists(const std::string& path) override {
    const auto t = mark();
    Result<bool> r = base().exists(path);
    other_s += seconds_since(t);
    return r;
  }
  // The log's calls: passed on untimed (a save makes none of them).
  Status write_all_at(int fd, const void* data, size_t n, uint64_t offset) override {
    return base().write_all_at(fd, data, n, offset);
  }
  Result<int> open_for_read(const std::string& path) override { return base().open_for_read(path); }
  Result<size_t> read(int fd, void* buf, size_t n) override { return base().read(fd, buf, n); }
  Result<size_t> read_at(int fd, void* buf, size_t n, uint64_t offset) override {
    return base().read_at(fd, buf, n, offset);
  }
  Result<uint64_t> fd_size(int fd) override { return base().fd_size(fd); }
  bool mappable() const override { return true; }

 private:
  static FileOps& base() { return FileOps::posix(); }
  static std::string name(const std::string& path) { return std::filesystem::path(path).filename().string(); }
  Clock::time_point mark() {
    const auto t = Clock::now();
    if (!any_call) {
      any_call = true;
      first_call = t;
    }
    return t;
  }

  std::map<int, Clock::time_point> open_at_;
  std::map<int, std::string> fd_name_;
};

}  // namespace kelpo::bench
