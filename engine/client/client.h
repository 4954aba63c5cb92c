// Client: named databases ("collections") kept as sub-directories of one root
// directory; the collection `docs` is the database directory <root>/docs.
// A Client holds only the root path and a test for name characters; every
// call goes to the file system and opens a new, independent Database, so any
// number of clients and databases may share a root. Nothing is locked across
// calls: the existence test and the creation of create_collection are two
// steps, and two processes creating one collection at once are decided by
// the file system.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/db/database.h"
#include "engine/index/distance.h"
#include "engine/util/error.h"

namespace kelpo {

// Whether a Unicode code point is a letter or digit. The engine keeps no
// Unicode tables of its own: the caller supplies the classification (the
// Python binding passes the interpreter's, the one str.isalnum uses).
using AlnumTest = bool (*)(char32_t code_point);

// A name is non-empty, is not "." or "..", holds no '/' or '\', and is made
// of letters and digits of any script, '-' and '_'. The first rule broken is
// the one reported, in that order, as "invalid collection name: {reason}".
Status validate_name(std::string_view name, AlnumTest is_alnum);

class Client {
 public:
  // Creates the root directory and its missing parents (0777 before the
  // umask; an existing directory is fine). -> io error
  static Result<Client> open(std::string root, AlnumTest is_alnum);

  // The root as given: not made absolute, not normalised.
  const std::string& root() const { return root_; }
  // The root joined with the name (no separator added after a trailing '/').
  std::string collection_path(std::string_view name) const;

  // Fails with "collection '{name}' already exists" when anything, even a
  // plain file or a dangling link, is at the collection's path.
  Result<std::unique_ptr<Database>> create_collection(const std::string& name, size_t dim, Metric metric,
                                                      const DatabaseConfig& config) const;
  // Opens the saved database; "database not found at '{path}'" when none.
  Result<std::unique_ptr<Database>> get_collection(const std::string& name) const;
  // Opens or creates with the default graph parameters (the stored dimension
  // and metric win when the database exists).
  Result<std::unique_ptr<Database>> get_or_create_collection(const std::string& name, size_t dim,
                                                             Metric metric) const;
  // True when something was at the collection's path and is now gone, false
  // when nothing was there. Databases still open on it are not told.
  Result<bool> delete_collection(const std::string& name) const;
  Result<std::vector<std::string>> list_collections() const;

 private:
  Client(std::string root, AlnumTest is_alnum) : root_(std::move(root)), is_alnum_(is_alnum) {}

  std::string root_;
  AlnumTest is_alnum_;
};

}  // namespace kelpo
