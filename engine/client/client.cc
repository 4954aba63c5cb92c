#include "engine/client/client.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "engine/client/collection_dir.h"
#include "engine/storage/file_ops.h"

namespace kelpo {
namespace {

// The next code point of well-formed UTF-8 at s[*i], advancing *i; false for
// bytes that are not (a stray continuation byte, a truncated or overlong
// sequence, a surrogate, anything past U+10FFFF).
bool next_code_point(std::string_view s, size_t* i, char32_t* out) {
  const auto b0 = static_cast<unsigned char>(s[*i]);
  size_t len;
  char32_t cp;
  if (b0 < 0x80) {
    *out = b0;
    ++*i;
    return true;
  }
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return false;
  }
  if (*i + len > s.size()) return false;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[*i + k]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  *out = cp;
  *i += len;
  return true;
}

}  // namespace

Status validate_name(std::string_view name, AlnumTest is_alnum) {
  if (name.empty()) return KelpoError::invalid_collection_name("name cannot be empty");
  if (name.find_first_of("/\\") != std::string_view::npos || name == "." || name == "..") {
    return KelpoError::invalid_collection_name("name cannot contain path separators or be '.' or '..'");
  }
  for (size_t i = 0; i < name.size();) {
    char32_t cp;
    if (!next_code_point(name, &i, &cp) || (cp != U'-' && cp != U'_' && !is_alnum(cp))) {
      return KelpoError::invalid_collection_name("name must be alphanumeric, hyphens, or underscores");
    }
  }
  return Status::OK();
}

Result<Client> Client::open(std::string root, AlnumTest is_alnum) {
  // An empty root is the current directory, which exists.
  if (!root.empty()) KELPO_RETURN_IF_ERROR(FileOps::posix().create_directories(root));
  return Client(std::move(root), is_alnum);
}

std::string Client::collection_path(std::string_view name) const {
  if (root_.empty()) return std::string(name);
  std::string path = root_;
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

Result<std::unique_ptr<Database>> Client::create_collection(const std::string& name, size_t dim, Metric metric,
                                                            const DatabaseConfig& config) const {
  KELPO_RETURN_IF_ERROR(validate_name(name, is_alnum_));
  const std::string path = collection_path(name);
  // Anything at all in the way counts, a link included; a path that cannot be
  // looked at is left for the open to report on.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) return KelpoError::collection_exists(name);
  return Database::open_or_create_with_config(path, dim, metric, config);
}

Result<std::unique_ptr<Database>> Client::get_collection(const std::string& name) const {
  KELPO_RETURN_IF_ERROR(validate_name(name, is_alnum_));
  return Database::open(collection_path(name));
}

Result<std::unique_ptr<Database>> Client::get_or_create_collection(const std::string& name, size_t dim,
                                                                   Metric metric) const {
  KELPO_RETURN_IF_ERROR(validate_name(name, is_alnum_));
  return Database::open_or_create_with_config(collection_path(name), dim, metric, DatabaseConfig{});
}

Result<bool> Client::delete_collection(const std::string& name) const {
  KELPO_RETURN_IF_ERROR(validate_name(name, is_alnum_));
  const std::string path = collection_path(name);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    // Something may be there: saying "nothing to delete" could be untrue.
    return KelpoError::io_errno(errno);
  }
  KELPO_RETURN_IF_ERROR(remove_tree(path));
  return true;
}

Result<std::vector<std::string>> Client::list_collections() const { return list_collection_dirs(root_); }

}  // namespace kelpo
