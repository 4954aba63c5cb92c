#include "engine/export/export_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <utility>

#include "engine/export/document_writer.h"

namespace kelpo {
namespace {

// Where the document may go through a temporary file, and the permission bits
// that file must get (those of the file it replaces).
struct RenameTarget {
  std::string path;
  std::optional<mode_t> mode;
};

// Decides how `path` is written: through a temporary file renamed over it
// (returns the file to rename over), or in place (returns nothing). Fails
// only when an existing regular file cannot be opened for writing, with the
// error writing it in place would have met.
Result<std::optional<RenameTarget>> plan(const std::string& path) {
  // No file name to put a temporary file beside: let the open say what is wrong.
  if (path.empty() || path.back() == '/') return std::optional<RenameTarget>();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return std::optional<RenameTarget>();
    // Follow symbolic links to the file itself, so a link keeps pointing at
    // the document rather than being replaced by it.
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return std::optional<RenameTarget>();
    std::string resolved(real);
    std::free(real);
    // Replacing a file only needs the directory to be writable; writing it
    // in place needs the file to be. Keep the stricter rule.
    const int probe = ::open(resolved.c_str(), O_WRONLY | O_CLOEXEC);
    if (probe < 0) return KelpoError::io_errno(errno);
    ::close(probe);
    return std::optional<RenameTarget>(RenameTarget{std::move(resolved), st.st_mode & 07777});
  }
  if (errno != ENOENT) return std::optional<RenameTarget>();  // the open in place reports it
  struct stat lst;
  if (::lstat(path.c_str(), &lst) == 0) return std::optional<RenameTarget>();  // a dangling link: create its target
  return std::optional<RenameTarget>(RenameTarget{path, std::nullopt});
}

// A name beside `target` no other export of this process or any other uses
// at the same time: hidden, with the process id and a counter.
std::string temp_name(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  return dir + "." + base + ".export-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

}  // namespace

Result<ExportFile> ExportFile::create(const std::string& path, FileOps& ops) {
  Result<std::optional<RenameTarget>> planned = plan(path);
  if (!planned.ok()) return planned.error();
  if (const std::optional<RenameTarget>& target = planned.value()) {
    std::string temp = temp_name(target->path);
    Result<int> fd = ops.open_for_write(temp, WriteMode::kTruncate);
    if (fd.ok()) {
      if (!target->mode || ::chmod(temp.c_str(), *target->mode) == 0) {
        return ExportFile(ops, target->path, std::move(temp), fd.value());
      }
      (void)ops.close(fd.value());
      (void)ops.remove(temp);
    }
    // No temporary file here (a read-only directory, say): write in place.
  }
  Result<int> fd = ops.open_for_write(path, WriteMode::kTruncate);
  if (!fd.ok()) return fd.error();
  return ExportFile(ops, path, "", fd.value());
}

ExportFile::ExportFile(ExportFile&& other) noexcept
    : ops_(other.ops_), target_(std::move(other.target_)), temp_(std::move(other.temp_)), fd_(std::exchange(other.fd_, -1)) {
  other.temp_.clear();
}

ExportFile::~ExportFile() { abandon(); }

void ExportFile::abandon() {
  if (fd_ >= 0) (void)ops_->close(std::exchange(fd_, -1));
  if (!temp_.empty()) (void)ops_->remove(std::exchange(temp_, std::string()));
}

Status ExportFile::write(const ExportFormat& doc, bool pretty) {
  if (fd_ < 0) return KelpoError::io("export file already written");
  Status status;
  {
    BufferedFileWriter out(*ops_, fd_);
    write_document(doc, pretty, [&](std::string_view piece) {
      out.append(piece);
      return out.ok();
    });
    status = out.flush();
  }
  const Status closed = ops_->close(std::exchange(fd_, -1));
  if (status.ok()) status = closed;
  if (status.ok() && !temp_.empty()) status = ops_->rename(temp_, target_);
  if (!status.ok()) {
    abandon();
    return status;
  }
  temp_.clear();
  return Status::OK();
}

}  // namespace kelpo
