// MemFileOps: an in-memory file system that remembers what has been made
// durable, so a test can cut power at any moment and see what a disk may
// keep: file contents as of their last sync, directory entries as of their
// directory's last sync, plus any chosen subset of the entry changes made
// since (creations, renames, removals), which a file system is free to have
// written in any order.
//
// Paths are compared as strings; use one spelling per file. A directory must
// be created (create_directories) before files are opened in it. write_all
// appends at the end of the file, the only way its callers use it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/storage/file_ops.h"

namespace kelpo {

class MemFileOps final : public FileOps {
 public:
  KELPO_FILE_OPS_OVERRIDES

  // A copy of the whole file system, durable state and pending changes
  // included (open descriptors are not copied).
  std::unique_ptr<MemFileOps> clone() const;

  // Puts a file in place, contents and name already durable.
  void put_durable(const std::string& path, const std::string& contents);
  // The names of the files in `dir` (not sub-directories), sorted.
  std::vector<std::string> list(const std::string& dir) const;
  // Directory changes not yet made durable, oldest first.
  size_t pending_changes() const;
  // Cuts the power: keeps the pending directory changes whose bit is set in
  // `keep` (bit i for the i-th oldest; a rename whose source was not kept
  // does nothing) and drops the rest, drops every byte not synced (or, with
  // `written_back`, keeps every file's latest contents, as if the system had
  // written its cache out just before), and closes every descriptor.
  void power_loss(uint64_t keep = 0, bool written_back = false);

 private:
  struct Inode {
    std::string data;
    std::string synced;  // contents as of the last sync
  };
  struct OpenFile {
    std::shared_ptr<Inode> inode;
    bool writable = true;
    uint64_t position = 0;  // where read() goes on
  };
  // The open file, or EBADF (also for a write through a read-only descriptor).
  Result<OpenFile*> find(int fd, bool writing);
  // A directory change not yet durable: a creation (from empty), a removal
  // (to empty) or a rename.
  struct Change {
    std::string dir;
    std::string from, to;
    std::shared_ptr<Inode> inode;
  };

  mutable std::mutex mu_;
  std::map<std::string, std::shared_ptr<Inode>> live_;     // guarded by mu_: the namespace as processes see it
  std::map<std::string, std::shared_ptr<Inode>> durable_;  // guarded by mu_: the namespace a power loss keeps
  std::set<std::string> dirs_;                             // guarded by mu_
  std::vector<Change> pending_;                            // guarded by mu_
  std::map<int, OpenFile> open_;                           // guarded by mu_
  int next_fd_ = 3;                                        // guarded by mu_
};

}  // namespace kelpo
