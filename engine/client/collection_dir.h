// The file-system side of the collections client: which sub-directories of a
// root are collections, and removing one without ever leaving it.
#pragma once

#include <string>
#include <vector>

#include "engine/util/error.h"

namespace kelpo {

// The file that makes a directory a database (written by its first save).
inline constexpr const char* kCollectionMarker = "graph.kelpo";

// The names of the root's entries that are directories (not symbolic links
// to one), whose names are UTF-8 and that hold an entry named graph.kelpo,
// sorted by their bytes. -> io error when the root cannot be read or an
// entry's type cannot be learned.
Result<std::vector<std::string>> list_collection_dirs(const std::string& root);

// Removes `path` and, when it is a directory, everything in it. A symbolic
// link anywhere (`path` itself included) is removed as a link; nothing it
// points to is touched. Each directory is opened relative to its parent
// without following links, so swapping a directory for a link mid-way does
// not lead the removal outside. An entry that vanishes meanwhile is fine.
// -> io error
Status remove_tree(const std::string& path);

}  // namespace kelpo
