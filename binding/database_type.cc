// Every method converts its arguments with the interpreter lock held, calls
// the engine, and converts the result back with the lock held. The writes and
// the searches release the lock around the engine call, so other Python
// threads (and other calls into the same database) run meanwhile; the engine's
// own locks keep it consistent. The quick read-outs keep the lock: releasing
// and re-taking it would cost more than the work.
#include "binding/database_type.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/convert_json.h"
#include "binding/convert_vector.h"
#include "binding/errors.h"
#include "binding/parse_filter.h"
#include "binding/search_result_type.h"
#include "engine/db/database.h"
#include "engine/export/export_json.h"

namespace kelpo::py {
namespace {

struct DatabaseObject {
  PyObject_HEAD
  // Set once by db_new before the object is handed out; never null after that.
  Database* db;
};

PyTypeObject* g_type = nullptr;  // created once, never freed

Database& engine(PyObject* self) { return *reinterpret_cast<DatabaseObject*>(self)->db; }

PyObject* py_text(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// ---- construction -----------------------------------------------------------

const ArgParser kNewArgs("Database", {"path", "dim", "metric", "m", "ef_construction", "quantize"}, 1);

PyObject* db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[6];
    if (!kNewArgs.parse_call(args, kwargs, a)) return nullptr;
    std::string path;
    uint64_t dim = 0;
    std::string metric_name = "cosine";
    DatabaseConfig config;
    uint64_t m = config.m;
    uint64_t ef_construction = config.ef_construction;
    bool quantize = false;
    if (!arg_text(a[0], "path", &path)) return nullptr;
    const bool has_dim = !absent(a[1]);
    if (has_dim && !arg_u64(a[1], "dim", &dim)) return nullptr;
    if (!absent(a[2]) && !arg_text(a[2], "metric", &metric_name)) return nullptr;
    if (!absent(a[3]) && !arg_u64(a[3], "m", &m)) return nullptr;
    if (!absent(a[4]) && !arg_u64(a[4], "ef_construction", &ef_construction)) return nullptr;
    if (a[5] != nullptr && !arg_bool(a[5], "quantize", &quantize)) return nullptr;

    // Without a dim, open the saved database as it is: its own metric and
    // graph parameters apply and the arguments are not consulted.
    std::optional<Metric> metric;
    if (has_dim) {
      metric = parse_metric(metric_name);
      if (!metric) {
        PyErr_SetString(PyExc_ValueError, "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
        return nullptr;
      }
      config.m = m;
      config.ef_construction = ef_construction;
      config.quantize = quantize;
    }
    Result<std::unique_ptr<Database>> opened =
        has_dim ? Database::open_or_create_with_config(path, dim, *metric, config) : Database::open(path);
    if (!opened.ok()) {
      if (!has_dim) {
        // Whatever kept it from opening, the remedy to suggest is the same.
        PyErr_SetString(PyExc_ValueError, "database not found \xe2\x80\x94 specify dim to create a new one");
        return nullptr;
      }
      return raise_engine_error(opened.error());
    }

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<DatabaseObject*>(self)->db = std::move(opened).value().release();
    return self;
  });
}

void db_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Closes the log; nothing is saved.
  delete reinterpret_cast<DatabaseObject*>(self)->db;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---- single-record writes ---------------------------------------------------

const ArgParser kAddArgs("add", {"id", "vector", "metadata"}, 2);
const ArgParser kUpsertArgs("upsert", {"id", "vector", "metadata"}, 2);

PyObject* add_or_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        const ArgParser& parser, bool upsert) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
    std::string id;
    std::vector<float> vector;
    std::optional<Json> metadata;
    if (!arg_text(a[0], "id", &id)) return nullptr;
    if (!vector_from_py(a[1], "vector", &vector)) return nullptr;
    if (!metadata_arg(a[2], "metadata", &metadata)) return nullptr;
    Status status;
    {
      AllowThreads nogil;
      Database& db = engine(self);
      status = upsert ? db.upsert(id, std::move(vector), std::move(metadata))
                      : db.add(id, std::move(vector), std::move(metadata));
    }
    if (!status.ok()) return raise_engine_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* db_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_or_upsert(self, args, nargs, kwnames, kAddArgs, false);
}

PyObject* db_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_or_upsert(self, args, nargs, kwnames, kUpsertArgs, true);
}

const ArgParser kUpdateArgs("update", {"id", "vector", "metadata"}, 1);

PyObject* db_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!kUpdateArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string id;
    std::optional<std::vector<float>> vector;
    std::optional<Json> metadata;
    if (!arg_text(a[0], "id", &id)) return nullptr;
    if (!absent(a[1])) {
      vector.emplace();
      if (!vector_from_py(a[1], "vector", &*vector)) return nullptr;
    }
    if (!metadata_arg(a[2], "metadata", &metadata)) return nullptr;
    Status status;
    {
      AllowThreads nogil;
      status = engine(self).update(id, std::move(vector), std::move(metadata));
    }
    if (!status.ok()) return raise_engine_error(status.error());
    Py_RETURN_NONE;
  });
}

const ArgParser kDeleteArgs("delete", {"id"}, 1);

PyObject* db_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kDeleteArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string id;
    if (!arg_text(a[0], "id", &id)) return nullptr;
    std::optional<Result<bool>> removed;
    {
      AllowThreads nogil;
      removed.emplace(engine(self).remove(id));
    }
    if (!removed->ok()) return raise_engine_error(removed->error());
    return PyBool_FromLong(removed->value() ? 1 : 0);
  });
}

// ---- batch writes -----------------------------------------------------------

const ArgParser kAddManyArgs("add_many", {"ids", "vectors", "metadatas"}, 2);
const ArgParser kUpsertManyArgs("upsert_many", {"ids", "vectors", "metadatas"}, 2);

PyObject* add_or_upsert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             const ArgParser& parser, bool upsert) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!parser.parse(args, nargs, kwnames, a)) return nullptr;
    std::vector<std::string> ids;
    BatchInput input;
    VectorBatch vectors;
    std::vector<std::optional<Json>> metadatas;
    if (!arg_text_list(a[0], "ids", &ids)) return nullptr;
    if (!input.extract(a[1], "vectors")) return nullptr;
    if (!metadatas_arg_type(a[2], "metadatas")) return nullptr;
    if (!input.to_batch(&vectors)) return nullptr;
    if (ids.size() != vectors.size()) {
      PyErr_Format(PyExc_ValueError, "ids length (%zu) != vectors length (%zu)", ids.size(), vectors.size());
      return nullptr;
    }
    if (!metadatas_convert(a[2], ids.size(), &metadatas)) return nullptr;
    Status status;
    {
      AllowThreads nogil;
      Database& db = engine(self);
      status = upsert ? db.upsert_many(ids, vectors, std::move(metadatas))
                      : db.add_many(ids, vectors, std::move(metadatas));
    }
    if (!status.ok()) return raise_engine_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* db_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_or_upsert_many(self, args, nargs, kwnames, kAddManyArgs, false);
}

PyObject* db_upsert_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_or_upsert_many(self, args, nargs, kwnames, kUpsertManyArgs, true);
}

const ArgParser kDeleteManyArgs("delete_many", {"ids"}, 1);

PyObject* db_delete_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kDeleteManyArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::vector<std::string> ids;
    if (!arg_text_list(a[0], "ids", &ids)) return nullptr;
    std::optional<Result<size_t>> deleted;
    {
      AllowThreads nogil;
      deleted.emplace(engine(self).delete_many(ids));
    }
    if (!deleted->ok()) return raise_engine_error(deleted->error());
    return PyLong_FromSize_t(deleted->value());
  });
}

// ---- searches ---------------------------------------------------------------

// The query parameters shared by search and search_many, converted in the
// order k, ef_search, where_filter (type only), max_distance; the filter dict
// is parsed by parse() after the query vectors are converted.
struct QueryArgs {
  SearchOptions options;
  Filter filter;
  PyObject* filter_dict = nullptr;  // borrowed from the call's arguments

  bool convert(PyObject* k, PyObject* ef_search, PyObject* where_filter, PyObject* max_distance) {
    uint64_t value = 0;
    if (k != nullptr) {
      if (!arg_u64(k, "k", &value)) return false;
      options.k = value;
    }
    if (!absent(ef_search)) {
      if (!arg_u64(ef_search, "ef_search", &value)) return false;
      options.ef_search = value;
    }
    if (!absent(where_filter)) {
      if (!arg_dict(where_filter, "where_filter")) return false;
      filter_dict = where_filter;
    }
    if (!absent(max_distance)) {
      double d = 0.0;
      if (!arg_double(max_distance, "max_distance", &d)) return false;
      options.max_distance = static_cast<float>(d);
    }
    return true;
  }

  bool parse() {
    if (filter_dict == nullptr) return true;
    if (!parse_filter(filter_dict, &filter)) return false;
    options.filter = &filter;
    return true;
  }
};

const ArgParser kSearchArgs("search", {"vector", "k", "ef_search", "where_filter", "max_distance"}, 1);

PyObject* db_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!kSearchArgs.parse(args, nargs, kwnames, a)) return nullptr;
    QueryArgs query;
    std::vector<float> vector;
    if (!query.convert(a[1], a[2], a[3], a[4])) return nullptr;
    if (!vector_from_py(a[0], "vector", &vector)) return nullptr;
    if (!query.parse()) return nullptr;
    std::optional<Result<std::vector<SearchHit>>> hits;
    {
      AllowThreads nogil;
      hits.emplace(engine(self).search(vector.data(), vector.size(), query.options));
    }
    if (!hits->ok()) return raise_engine_error(hits->error());
    return hits_to_list(std::move(hits->value()));
  });
}

const ArgParser kSearchManyArgs("search_many", {"vectors", "k", "ef_search", "where_filter", "max_distance"}, 1);

PyObject* db_search_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[5];
    if (!kSearchManyArgs.parse(args, nargs, kwnames, a)) return nullptr;
    QueryArgs query;
    BatchInput input;
    VectorBatch queries;
    if (!query.convert(a[1], a[2], a[3], a[4])) return nullptr;
    if (!input.extract(a[0], "vectors") || !input.to_batch(&queries)) return nullptr;
    if (!query.parse()) return nullptr;
    std::optional<Result<std::vector<std::vector<SearchHit>>>> hits;
    {
      // The engine spreads the queries over its worker pool.
      AllowThreads nogil;
      hits.emplace(engine(self).search_many(queries, query.options));
    }
    if (!hits->ok()) return raise_engine_error(hits->error());
    std::vector<std::vector<SearchHit>>& lists = hits->value();
    Ref outer = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lists.size())));
    if (!outer) return nullptr;
    for (size_t i = 0; i < lists.size(); ++i) {
      PyObject* inner = hits_to_list(std::move(lists[i]));
      if (inner == nullptr) return nullptr;
      PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner);
    }
    return outer.release();
  });
}

// ---- read-outs (interpreter lock held) --------------------------------------

const ArgParser kGetArgs("get", {"id"}, 1);

PyObject* db_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kGetArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string id;
    if (!arg_text(a[0], "id", &id)) return nullptr;
    auto record = engine(self).get(id);
    if (!record.ok()) return raise_engine_error(record.error());
    const std::vector<float>& vector = record->first;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(vector.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < vector.size(); ++i) {
      PyObject* f = PyFloat_FromDouble(vector[i]);
      if (f == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    Ref metadata = record->second ? Ref::steal(json_to_py(*record->second)) : Ref::borrow(Py_None);
    if (!metadata) return nullptr;
    return PyTuple_Pack(2, list.get(), metadata.get());
  });
}

const ArgParser kCountArgs("count", {"where_filter"}, 0);

PyObject* db_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kCountArgs.parse(args, nargs, kwnames, a)) return nullptr;
    if (absent(a[0])) return PyLong_FromSize_t(engine(self).count(nullptr));
    if (!arg_dict(a[0], "where_filter")) return nullptr;
    Filter filter;
    if (!parse_filter(a[0], &filter)) return nullptr;
    return PyLong_FromSize_t(engine(self).count(&filter));
  });
}

PyObject* db_ids(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::vector<std::string> ids = engine(self).ids();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
      PyObject* s = py_text(ids[i]);
      if (s == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
  });
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* db_stats(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const DatabaseStats s = engine(self).stats();
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* dict = d.get();
    const bool ok = set_item(dict, "num_vectors", PyLong_FromUnsignedLongLong(s.num_vectors)) &&
                    set_item(dict, "num_deleted", PyLong_FromUnsignedLongLong(s.num_deleted)) &&
                    set_item(dict, "num_layers", PyLong_FromUnsignedLongLong(s.num_layers)) &&
                    set_item(dict, "avg_degree_layer0", PyFloat_FromDouble(s.avg_degree_layer0)) &&
                    set_item(dict, "max_degree_layer0", PyLong_FromUnsignedLongLong(s.max_degree_layer0)) &&
                    set_item(dict, "min_degree_layer0", PyLong_FromUnsignedLongLong(s.min_degree_layer0)) &&
                    set_item(dict, "memory_vectors_bytes", PyLong_FromUnsignedLongLong(s.memory_vectors_bytes)) &&
                    set_item(dict, "memory_graph_bytes", PyLong_FromUnsignedLongLong(s.memory_graph_bytes)) &&
                    set_item(dict, "memory_quantized_bytes",
                             PyLong_FromUnsignedLongLong(s.memory_quantized_bytes)) &&
                    set_item(dict, "uses_brute_force", PyBool_FromLong(s.uses_brute_force)) &&
                    set_item(dict, "uses_quantized_search", PyBool_FromLong(s.uses_quantized_search));
    return ok ? d.release() : nullptr;
  });
}

PyObject* get_quantized_search(PyObject* self, void*) {
  return guarded([&] { return PyBool_FromLong(engine(self).quantized_search()); });
}

PyObject* get_deleted_count(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(engine(self).deleted_count()); });
}

PyObject* get_total_slots(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(engine(self).total_slots()); });
}

PyObject* get_dim(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(engine(self).dim()); });
}

PyObject* get_metric(PyObject* self, void*) {
  return guarded([&] { return PyUnicode_FromString(metric_name(engine(self).metric())); });
}

Py_ssize_t db_len(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    const size_t n = engine(self).count(nullptr);
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "database length does not fit a Py_ssize_t");
      return -1;
    }
    return static_cast<Py_ssize_t>(n);
  });
}

int db_contains(PyObject* self, PyObject* key) {
  return guarded<int>(-1, [&]() -> int {
    std::string id;
    if (!arg_text(key, "id", &id)) return -1;
    return engine(self).contains(id) ? 1 : 0;
  });
}

// ---- persistence --------------------------------------------------------------

PyObject* db_save(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Status status;
    {
      AllowThreads nogil;
      status = engine(self).save();
    }
    if (!status.ok()) return raise_engine_error(status.error());
    Py_RETURN_NONE;
  });
}

PyObject* db_compact(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Status status;
    {
      AllowThreads nogil;
      status = engine(self).compact();
    }
    if (!status.ok()) return raise_engine_error(status.error());
    Py_RETURN_NONE;
  });
}

// Both keep the interpreter lock: they are rare, and enabling holds the
// index exclusively while it trains, which no search could share anyway.
PyObject* db_enable_quantized_search(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    engine(self).enable_quantized_search();
    Py_RETURN_NONE;
  });
}

PyObject* db_disable_quantized_search(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    engine(self).disable_quantized_search();
    Py_RETURN_NONE;
  });
}

PyObject* db_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

const ArgParser kExitArgs("__exit__", {"_exc_type", "_exc_val", "_exc_tb"}, 0);

PyObject* db_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!kExitArgs.parse(args, nargs, kwnames, a)) return nullptr;
    // Saves whether the block ended normally or by an exception, with the
    // interpreter lock held; returning False lets the block's exception
    // propagate unchanged.
    const Status status = engine(self).save();
    if (!status.ok()) return raise_engine_error(status.error());
    Py_RETURN_FALSE;
  });
}

// ---- JSON export and import (interpreter lock held) ---------------------------

// A file that could not be opened is reported by the operating system's text
// alone, without the "io error: " of later failures.
PyObject* raise_open_error(const KelpoError& error) {
  const std::string text = error.io_detail();
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

const ArgParser kExportArgs("export_json", {"path", "pretty"}, 1);

PyObject* db_export_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    if (!kExportArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string path;
    bool pretty = false;
    if (!arg_text(a[0], "path", &path)) return nullptr;
    if (a[1] != nullptr && !arg_bool(a[1], "pretty", &pretty)) return nullptr;
    Result<ExportFile> file = ExportFile::create(path);
    if (!file.ok()) return raise_open_error(file.error());
    Result<ExportFormat> doc = collect_export(engine(self));
    if (!doc.ok()) return raise_engine_error(doc.error());
    const Status written = file->write(doc.value(), pretty);
    if (!written.ok()) return raise_engine_error(written.error());
    Py_RETURN_NONE;
  });
}

const ArgParser kImportArgs("import_json", {"path"}, 1);

PyObject* db_import_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kImportArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string path;
    if (!arg_text(a[0], "path", &path)) return nullptr;
    Result<std::unique_ptr<FileSource>> source = FileSource::open(path);
    if (!source.ok()) return raise_open_error(source.error());
    Result<ImportedRecords> records = parse_export_document(*source.value());
    if (!records.ok()) return raise_engine_error(records.error());
    const Status applied = apply_import(engine(self), std::move(records).value());
    if (!applied.ok()) return raise_engine_error(applied.error());
    Py_RETURN_NONE;
  });
}

// ---- the type ---------------------------------------------------------------

PyCFunction fast(FastMethod f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)); }

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

#define KELPO_EM_DASH "\xe2\x80\x94"

PyMethodDef methods[] = {
    {"add", fast(db_add), kFastKw, "add($self, id, vector, metadata=None)\n--\n\n"},
    {"upsert", fast(db_upsert), kFastKw, "upsert($self, id, vector, metadata=None)\n--\n\nAdd or update a vector."},
    {"add_many", fast(db_add_many), kFastKw, "add_many($self, ids, vectors, metadatas=None)\n--\n\n"},
    {"search", fast(db_search), kFastKw,
     "search($self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)\n--\n\n"
     "Search for the k nearest neighbors.\n"
     "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
     "`where_filter`: optional dict like {\"field\": \"value\"} or {\"field\": {\"$ne\": \"value\"}}\n"
     "`max_distance`: optional float " KELPO_EM_DASH " discard results beyond this distance."},
    {"search_many", fast(db_search_many), kFastKw,
     "search_many($self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None)\n--\n\n"
     "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
     "`where_filter`: optional metadata filter (same syntax as search).\n"
     "`max_distance`: optional float " KELPO_EM_DASH " discard results beyond this distance."},
    {"get", fast(db_get), kFastKw, "get($self, id)\n--\n\n"},
    {"delete", fast(db_delete), kFastKw, "delete($self, id)\n--\n\n"},
    {"delete_many", fast(db_delete_many), kFastKw, "delete_many($self, ids)\n--\n\n"},
    {"update", fast(db_update), kFastKw, "update($self, id, vector=None, metadata=None)\n--\n\n"},
    {"upsert_many", fast(db_upsert_many), kFastKw,
     "upsert_many($self, ids, vectors, metadatas=None)\n--\n\n"
     "Batch upsert " KELPO_EM_DASH " inserts new vectors, updates existing ones."},
    {"count", fast(db_count), kFastKw,
     "count($self, where_filter=None)\n--\n\nCount vectors matching a filter, or all vectors if no filter."},
    {"ids", db_ids, METH_NOARGS, "ids($self)\n--\n\n"},
    {"save", db_save, METH_NOARGS, "save($self)\n--\n\n"},
    {"compact", db_compact, METH_NOARGS,
     "compact($self)\n--\n\n"
     "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
     "Call this after many deletes to reduce memory usage and disk size."},
    {"enable_quantized_search", db_enable_quantized_search, METH_NOARGS,
     "enable_quantized_search($self)\n--\n\n"
     "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
     "with full-precision re-ranking. Automatically enabled when quantize=True is set."},
    {"disable_quantized_search", db_disable_quantized_search, METH_NOARGS,
     "disable_quantized_search($self)\n--\n\nDisable quantized search."},
    {"stats", db_stats, METH_NOARGS,
     "stats($self)\n--\n\n"
     "Get graph-level statistics for diagnostics.\n"
     "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
     "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
     "memory_quantized_bytes, uses_brute_force, uses_quantized_search."},
    {"__enter__", db_enter, METH_NOARGS, "__enter__($self)\n--\n\nContext manager: auto-save on exit."},
    {"__exit__", fast(db_exit), kFastKw, "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {"export_json", fast(db_export_json), kFastKw,
     "export_json($self, path, pretty=False)\n--\n\nExport all vectors and metadata to a JSON file."},
    {"import_json", fast(db_import_json), kFastKw,
     "import_json($self, path)\n--\n\nImport vectors from a JSON file into this database (upsert semantics)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"quantized_search", get_quantized_search, nullptr, "Whether quantized search is currently enabled.", nullptr},
    {"deleted_count", get_deleted_count, nullptr, "Number of deleted slots that haven't been reclaimed.", nullptr},
    {"total_slots", get_total_slots, nullptr, "Total allocated slots (active + deleted).", nullptr},
    {"dim", get_dim, nullptr, nullptr, nullptr},
    {"metric", get_metric, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Database(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(db_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_sq_length, reinterpret_cast<void*>(db_len)},
    {Py_sq_contains, reinterpret_cast<void*>(db_contains)},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "kelpo._kelpo.Database",
    sizeof(DatabaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* database_type() {
  if (g_type == nullptr) {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (g_type == nullptr) return nullptr;
  }
  Py_INCREF(g_type);
  return reinterpret_cast<PyObject*>(g_type);
}

PyObject* wrap_database(std::unique_ptr<Database> db) {
  Ref type = Ref::steal(database_type());
  if (!type) return nullptr;
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(t, Py_tp_alloc));
  PyObject* self = alloc(t, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<DatabaseObject*>(self)->db = db.release();
  return self;
}

}  // namespace kelpo::py
