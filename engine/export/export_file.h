// ExportFile: puts an export document under its file name whole or not at
// all. The text goes to a temporary file beside the target, which is renamed
// over the target once every byte is written; a failure removes the temporary
// file and leaves whatever was under the target name before.
//
// Replacing an existing file keeps its permission bits, and a symbolic link
// to a regular file keeps pointing at it (the file it names is replaced).
// Targets that are not regular files (a FIFO, a device such as /dev/null)
// are written in place, as is everything when no temporary file can be made
// beside the target (a read-only directory holding a writable file): there a
// failed export may leave a partial document behind.
#pragma once

#include <string>

#include "engine/export/export_format.h"
#include "engine/storage/file_ops.h"
#include "engine/util/error.h"

namespace kelpo {

class ExportFile {
 public:
  // Gets ready to write `path`, creating what it writes to (0666 before the
  // umask). Fails with an io error carrying the operating system's text when
  // the target cannot be written (a missing directory, no permission, a
  // directory in the way). `ops` (not owned) must outlive the object.
  static Result<ExportFile> create(const std::string& path, FileOps& ops = FileOps::posix());

  ExportFile(ExportFile&& other) noexcept;
  ExportFile& operator=(ExportFile&&) = delete;
  ExportFile(const ExportFile&) = delete;
  ExportFile& operator=(const ExportFile&) = delete;
  // Closes and removes an unfinished temporary file.
  ~ExportFile();

  // Writes the document through an 8192-byte buffer and puts it in place.
  // Call once. -> io error
  Status write(const ExportFormat& doc, bool pretty);

  // The file being written: the temporary one, or the target when in place.
  const std::string& writing_to() const { return temp_.empty() ? target_ : temp_; }

 private:
  ExportFile(FileOps& ops, std::string target, std::string temp, int fd)
      : ops_(&ops), target_(std::move(target)), temp_(std::move(temp)), fd_(fd) {}
  // Closes the descriptor and removes the temporary file, if any.
  void abandon();

  FileOps* ops_;
  std::string target_;  // where the document ends up
  std::string temp_;    // empty when writing in place
  int fd_;              // open for writing until write() or abandon(); -1 after
};

}  // namespace kelpo
