#include "engine/storage/mem_file_ops.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace kelpo {

Result<int> MemFileOps::open_for_write(const std::string& path, WriteMode mode) {
  std::lock_guard<std::mutex> lock(mu_);
  if (dirs_.count(path) != 0) return KelpoError::io_errno(EISDIR);
  if (dirs_.count(parent_directory(path)) == 0) return KelpoError::io_errno(ENOENT);
  std::shared_ptr<Inode>& inode = live_[path];
  if (!inode) {
    inode = std::make_shared<Inode>();
    pending_.push_back(Change{parent_directory(path), "", path, inode});
  }
  if (mode == WriteMode::kTruncate) inode->data.clear();
  const int fd = next_fd_++;
  open_[fd] = OpenFile{inode};
  return fd;
}

Result<MemFileOps::OpenFile*> MemFileOps::find(int fd, bool writing) {
  auto it = open_.find(fd);
  if (it == open_.end() || (writing && !it->second.writable)) return KelpoError::io_errno(EBADF);
  return &it->second;
}

Status MemFileOps::write_all(int fd, const void* data, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  Result<OpenFile*> f = find(fd, true);
  if (!f.ok()) return f.error();
  (*f)->inode->data.append(static_cast<const char*>(data), n);
  return Status::OK();
}

Status MemFileOps::write_all_at(int fd, const void* data, size_t n, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mu_);
  Result<OpenFile*> f = find(fd, true);
  if (!f.ok()) return f.error();
  if (n == 0) return Status::OK();  // like pwrite: no bytes, no growth
  std::string& bytes = (*f)->inode->data;
  const size_t at = static_cast<size_t>(offset);
  if (bytes.size() < at + n) bytes.resize(at + n);  // a write past the end leaves a hole of zeros
  std::memcpy(bytes.data() + at, data, n);
  return Status::OK();
}

Status MemFileOps::sync(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  Result<OpenFile*> f = find(fd, false);
  if (!f.ok()) return f.error();
  (*f)->inode->synced = (*f)->inode->data;
  return Status::OK();
}

Status MemFileOps::truncate(int fd, uint64_t size) {
  std::lock_guard<std::mutex> lock(mu_);
  Result<OpenFile*> f = find(fd, true);
  if (!f.ok()) return f.error();
  (*f)->inode->data.resize(static_cast<size_t>(size));
  return Status::OK();
}

Result<int> MemFileOps::open_for_read(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = live_.find(path);
  if (it == live_.end()) return KelpoError::io_errno(dirs_.count(path) != 0 ? EISDIR : ENOENT);
  const int fd = next_fd_++;
  open_[fd] = OpenFile{it->second, false};
  return fd;
}

Result<size_t> MemFileOps::read(int fd, void* buf, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  Result<OpenFile*> f = find(fd, false);
  if (!f.ok()) return f.error();
  const std::string& bytes = (*f)->inode->data;
  const uint64_t at = (*f)->position;  // may lie past an end that shrank since
  if (at >= bytes.size()) return size_t{0};
  const size_t take = static_cast<size_t>(std::min<uint64_t>(n, bytes.size() - at));
  std::memcpy(buf, bytes.data() + at, take);
  (*f)->position = at + take;
  return take;
}

Result<size_t> MemFileOps::read_at(int fd, void* buf, size_t n, uint64_t offset) {
  std::lock_guard<std::mutex> lock(mu_);
  Result<OpenFile*> f = find(fd, false);
  if (!f.ok()) return f.error();
  const std::string& bytes = (*f)->inode->data;
  if (offset >= bytes.size()) return size_t{0};
  const size_t take = static_cast<size_t>(std::min<uint64_t>(n, bytes.size() - offset));
  std::memcpy(buf, bytes.data() + offset, take);
  return take;
}

Result<uint64_t> MemFileOps::fd_size(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  Result<OpenFile*> f = find(fd, false);
  if (!f.ok()) return f.error();
  return static_cast<uint64_t>((*f)->inode->data.size());
}

Status MemFileOps::close(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  if (open_.erase(fd) == 0) return KelpoError::io_errno(EBADF);
  return Status::OK();
}

Status MemFileOps::rename(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = live_.find(from);
  if (it == live_.end()) return KelpoError::io_errno(ENOENT);
  if (dirs_.count(parent_directory(to)) == 0) return KelpoError::io_errno(ENOENT);
  std::shared_ptr<Inode> inode = it->second;
  live_.erase(it);
  live_[to] = inode;
  pending_.push_back(Change{parent_directory(to), from, to, std::move(inode)});
  return Status::OK();
}

Status MemFileOps::remove(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = live_.find(path);
  if (it == live_.end()) return Status::OK();
  pending_.push_back(Change{parent_directory(path), path, "", it->second});
  live_.erase(it);
  return Status::OK();
}

Status MemFileOps::sync_dir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(mu_);
  if (dirs_.count(dir) == 0) return KelpoError::io_errno(ENOENT);
  for (auto it = durable_.begin(); it != durable_.end();) {
    it = parent_directory(it->first) == dir ? durable_.erase(it) : std::next(it);
  }
  for (const auto& [path, inode] : live_) {
    if (parent_directory(path) == dir) durable_[path] = inode;
  }
  std::erase_if(pending_, [&](const Change& c) { return c.dir == dir; });
  return Status::OK();
}

Status MemFileOps::create_directories(const std::string& dir) {
  std::lock_guard<std::mutex> lock(mu_);
  for (std::string d = dir; dirs_.count(d) == 0; d = parent_directory(d)) {
    if (live_.count(d) != 0) return KelpoError::io_errno(EEXIST);
    dirs_.insert(d);
    if (d == "." || d == "/") break;
  }
  return Status::OK();
}

Result<std::string> MemFileOps::read_file(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = live_.find(path);
  if (it == live_.end()) return KelpoError::io_errno(dirs_.count(path) != 0 ? EISDIR : ENOENT);
  return it->second->data;
}

Result<uint64_t> MemFileOps::file_size(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = live_.find(path);
  if (it == live_.end()) return KelpoError::io_errno(ENOENT);
  return static_cast<uint64_t>(it->second->data.size());
}

Result<bool> MemFileOps::exists(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  return live_.count(path) != 0 || dirs_.count(path) != 0;
}

bool MemFileOps::mappable() const { return false; }

std::unique_ptr<MemFileOps> MemFileOps::clone() const {
  std::lock_guard<std::mutex> lock(mu_);
  auto copy = std::make_unique<MemFileOps>();
  // One new inode per old one, so names that share a file still do.
  std::map<const Inode*, std::shared_ptr<Inode>> inodes;
  auto same = [&inodes](const std::shared_ptr<Inode>& inode) {
    std::shared_ptr<Inode>& c = inodes[inode.get()];
    if (!c) c = std::make_shared<Inode>(*inode);
    return c;
  };
  for (const auto& [path, inode] : live_) copy->live_[path] = same(inode);
  for (const auto& [path, inode] : durable_) copy->durable_[path] = same(inode);
  for (const Change& c : pending_) copy->pending_.push_back(Change{c.dir, c.from, c.to, same(c.inode)});
  copy->dirs_ = dirs_;
  copy->next_fd_ = next_fd_;
  return copy;
}

void MemFileOps::put_durable(const std::string& path, const std::string& contents) {
  std::lock_guard<std::mutex> lock(mu_);
  for (std::string d = parent_directory(path); dirs_.count(d) == 0; d = parent_directory(d)) {
    dirs_.insert(d);
    if (d == "." || d == "/") break;
  }
  auto inode = std::make_shared<Inode>();
  inode->data = inode->synced = contents;
  live_[path] = inode;
  durable_[path] = inode;
}

std::vector<std::string> MemFileOps::list(const std::string& dir) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> names;
  for (const auto& [path, inode] : live_) {
    if (parent_directory(path) == dir) names.push_back(path.substr(dir.size() + 1));
  }
  return names;
}

size_t MemFileOps::pending_changes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_.size();
}

void MemFileOps::power_loss(uint64_t keep, bool written_back) {
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 0; i < pending_.size() && i < 64; ++i) {
    if ((keep >> i & 1) == 0) continue;
    const Change& c = pending_[i];
    if (!c.from.empty()) {
      auto it = durable_.find(c.from);
      if (it == durable_.end() || it->second != c.inode) continue;  // its source never reached the disk
      durable_.erase(it);
    }
    if (!c.to.empty()) durable_[c.to] = c.inode;
  }
  pending_.clear();
  open_.clear();
  live_ = durable_;
  for (auto& [path, inode] : live_) {
    if (written_back) {
      inode->synced = inode->data;
    } else {
      inode->data = inode->synced;
    }
  }
}

}  // namespace kelpo
