// Wal: the write-ahead log of one database, the file wal.kelpo in its
// directory. Every write is appended here, and with the operating system,
// before memory changes; opening a saved database reads the log back and
// replays it; a save deletes it. Record layout: wal_format.h.
//
// Not thread-safe: the database's wal mutex guards every call.
//
// The file is only ever changed by append (which adds whole records), by the
// repair before the first append (below) and by remove_file. Reading never
// changes it.
//
// Batches. A batch is replayed whole or not at all, even if the process dies
// inside the write: its first record is written last, behind the others.
//
// Repair. The reader stops at a torn or damaged record. Records appended behind
// such a tail would never be read again, so before the first append to a file
// whose tail did not read back cleanly, the file is cut back to the end of its
// last good record; the bytes cut off are first added to "wal.kelpo.corrupt"
// beside it, so nothing is destroyed.
//
// Failed appends. If an append fails part-way (no space, a short write), the
// file is cut back to its length before the call, so no partial record sits in
// front of later ones. If even that fails, every later append is refused with
// the error until the file is removed (save) or the log is opened afresh.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/util/error.h"
#include "engine/storage/file_ops.h"
#include "engine/wal/wal_record.h"

namespace kelpo {

// What the last Wal::read found.
struct WalReadStats {
  uint64_t file_size = 0;        // bytes in the file (0 when it is missing)
  uint64_t good_end = 0;         // where the last record with a matching CRC ends
  size_t records = 0;            // records with a matching CRC
  size_t skipped = 0;            // of those, dropped for a malformed payload
  bool clean() const { return good_end == file_size; }
};

class Wal {
 public:
  // No file is opened until the first append. `ops` (not owned) must outlive
  // the Wal; nullptr means the real file system.
  explicit Wal(std::string path, FileOps* ops = nullptr);
  ~Wal();
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;
  Wal(Wal&& other) noexcept;
  Wal& operator=(Wal&& other) noexcept;

  const std::string& path() const { return path_; }
  // Where the bytes cut from a damaged tail are kept.
  std::string corrupt_path() const;

  // Every record of the batch, written with one write, with the operating
  // system when this returns OK (no sync to stable storage). A batch that could
  // not be encoded (WalBatch::status()) is refused before anything is written.
  // On failure the file is as it was before the call. -> io error
  Status append(const WalBatch& batch);

  // The entries of the file in order: missing or empty file -> none. Stops at
  // the first record cut short by the end of the file, or whose length runs
  // past it, or whose CRC does not match; skips records with a good CRC but a
  // malformed payload. A failing read (other than reaching the end) -> io error.
  Result<std::vector<WalEntry>> read();
  const WalReadStats& last_read() const { return last_read_; }

  // Closes the writer and deletes the file if it exists (a save made its
  // records redundant). -> io error when the file stays.
  Status remove_file();
  // Closes the writer. The next append opens the file again.
  void close();
  // Tells the closed log that its file was removed by other means (a save
  // removes it with the other files of the directory): like remove_file,
  // this ends a refusal to append.
  void file_removed();
  bool is_open() const { return fd_ >= 0; }

 private:
  // Opens the file for appending, cutting a damaged tail off first.
  Status open_writer();
  // Where the last good record of the file ends, reading the file if no
  // earlier read or write of this Wal already knows it for this size.
  Result<uint64_t> good_end_for(uint64_t size);
  // Adds bytes [good_end, size) of the log to the corrupt file, then cuts the
  // log (open for writing as `fd`) back to good_end.
  Status cut_tail(int fd, uint64_t good_end, uint64_t size);

  // Constant after construction.
  std::string path_;
  FileOps* ops_;  // not owned

  int fd_ = -1;       // the log, open for appending; -1 while closed
  uint64_t end_ = 0;  // the file's length, all of it whole records (while open)
  // Set when a failed append could not be undone: appends are refused.
  std::optional<KelpoError> broken_;
  // A file length this Wal knows the good end of (from reading or writing it);
  // good_end_for() skips its own scan when the file still has this length.
  std::optional<uint64_t> known_size_;
  uint64_t known_good_end_ = 0;
  WalReadStats last_read_;
};

}  // namespace kelpo
