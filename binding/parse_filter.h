// `where_filter` dicts to Filter trees.
//
//   {"genre": "rock"}                     field equals value
//   {"genre": {"$ne": "rock"}}            field differs from value (or is missing)
//   {"genre": {"$in": ["rock", "pop"]}}   field equals one of the values
//   {"year": {"$gte": 2000, "$lt": 2010}} numeric comparisons: $gt $gte $lt $lte
//
// Several fields, or several operators on one field, are all required (AND).
#pragma once

#include "binding/py_ref.h"

#include "engine/metadata/filter.h"

namespace kelpo::py {

// `dict` must be a dict (or subclass). Raises ValueError with the filter
// language's messages, or TypeError for a non-str key, and returns false.
bool parse_filter(PyObject* dict, Filter* out);

}  // namespace kelpo::py
