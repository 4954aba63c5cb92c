// WriterLock: one writing process per database directory.
//
// Two processes appending to one log interleave their records, and a save by
// one deletes the log holding the other's acknowledged writes. So before its
// first write, save or compaction a database takes an exclusive POSIX record
// lock on the file "writer.lock" in its directory, and keeps it until it is
// destroyed. Record locks belong to the process, so every database object of
// one process over one directory shares a single lock: the registry below
// counts them and keeps exactly one descriptor per directory open, because
// closing any descriptor of the file would drop the process's lock.
//
// A database that only reads never takes the lock. One that opened a
// directory, saw it change under another process and only then wants to
// write would work on a stale state (its save would delete the log of the
// other's acknowledged writes), so taking the lock also checks that the
// directory is as the database found it (or as this process last left it).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "engine/util/error.h"

namespace kelpo {

inline constexpr const char* kWriterLockFileName = "writer.lock";

// What a directory's log and graph file look like on disk: their identity,
// size and change time, or their absence. Equal fingerprints mean no other
// process wrote or saved in between.
struct DirFingerprint {
  struct File {
    bool exists = false;
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const File&) const = default;
  };
  File log, graph;
  bool operator==(const DirFingerprint&) const = default;

  static DirFingerprint of(const std::string& dir);
};

class WriterLock {
 public:
  WriterLock() = default;
  ~WriterLock() { release(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  bool held() const { return held_; }

  // Takes the process's lock on `dir` (or a share of it). `opened` is the
  // directory as the caller found it when it opened. Fails, changing
  // nothing, with "io error: database is being written by another process
  // (pid N)" or, for a stale caller, "io error: database was changed by
  // another process since it was opened; open it again".
  Status acquire(const std::string& dir, const DirFingerprint& opened);
  // Gives the share back; the last share of the process unlocks the file.
  void release();

 private:
  bool held_ = false;
  uint64_t dev_ = 0, ino_ = 0;  // the directory's identity: the registry key
  std::string dir_;
};

}  // namespace kelpo
