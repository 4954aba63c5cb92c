// SearchResult: one search hit (id, distance, optional metadata), a copy owned
// by the Python object. Created only by the module; Python code cannot
// construct one.
#pragma once

#include "binding/py_ref.h"

#include <vector>

#include "engine/db/database.h"

namespace kelpo::py {

// Creates the type (once per process) and returns a new reference to it.
PyObject* search_result_type();

// A Python list of SearchResult objects, taking the hits' contents.
PyObject* hits_to_list(std::vector<SearchHit>&& hits);

}  // namespace kelpo::py
