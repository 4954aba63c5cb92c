// Metadata across the boundary. Python to JSON goes through the standard
// library's json.dumps and our parser, so what is stored is exactly what
// json.dumps writes (non-str keys become their JSON text, tuples arrays, and
// so on); JSON back to Python goes through json.loads. Both sides are resolved
// at each call, so a program that swaps the json module's functions sees its
// own functions used.
#pragma once

#include "binding/py_ref.h"

#include <optional>
#include <vector>

#include "engine/metadata/json.h"

namespace kelpo::py {

// `obj` must be a dict (checked by the caller). Errors from json.dumps are
// passed on unchanged; text our parser refuses (NaN, infinities) raises
// ValueError "invalid metadata: {parser message}".
bool json_from_dict(PyObject* obj, Json* out);

// The `metadata` argument of the single-record writes: None or absent means no
// metadata; anything else must be a dict (TypeError naming the argument).
bool metadata_arg(PyObject* obj, const char* arg, std::optional<Json>* out);

// The `metadatas` argument of the batch writes, in two steps matching the
// order of the batch checks: metadatas_arg_type() accepts None or a list
// (TypeError otherwise); metadatas_convert() checks the length against the ids
// and converts each item (None or a dict). With `obj` absent, every record
// gets no metadata.
bool metadatas_arg_type(PyObject* obj, const char* arg);
bool metadatas_convert(PyObject* obj, size_t n_ids, std::vector<std::optional<Json>>* out);

// A new Python object for a JSON value (via json.loads of its compact text).
PyObject* json_to_py(const Json& value);

}  // namespace kelpo::py
