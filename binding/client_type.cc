#include "binding/client_type.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/database_type.h"
#include "binding/errors.h"
#include "engine/client/client.h"

namespace kelpo::py {
namespace {

struct ClientObject {
  PyObject_HEAD
  // Set once by client_new before the object is handed out; never null after that.
  Client* client;
};

PyTypeObject* g_type = nullptr;  // created once, never freed

const Client& engine(PyObject* self) { return *reinterpret_cast<ClientObject*>(self)->client; }

// The interpreter's own notion of a letter or digit, the one str.isalnum
// applies to each character. Called with the interpreter lock held.
bool python_isalnum(char32_t c) { return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); }

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The metric argument in two steps, as the Database constructor takes it:
// convert() with the other arguments (TypeError), parse() after them all
// (ValueError for a name it does not know).
struct MetricArg {
  std::string name = "cosine";
  Metric metric = Metric::kCosine;

  bool convert(PyObject* o) { return absent(o) || arg_text(o, "metric", &name); }
  bool parse() {
    const std::optional<Metric> parsed = parse_metric(name);
    if (!parsed) {
      PyErr_SetString(PyExc_ValueError, "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
      return false;
    }
    metric = *parsed;
    return true;
  }
};

PyObject* opened(Result<std::unique_ptr<Database>> db) {
  if (!db.ok()) return raise_engine_error(db.error());
  return wrap_database(std::move(db).value());
}

const ArgParser kNewArgs("Client", {"path"}, 1);

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kNewArgs.parse_call(args, kwargs, a)) return nullptr;
    std::string path;
    if (!arg_text(a[0], "path", &path)) return nullptr;
    Result<Client> client = Client::open(std::move(path), python_isalnum);
    if (!client.ok()) return raise_engine_error(client.error());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ClientObject*>(self)->client = new Client(std::move(client).value());
    return self;
  });
}

void client_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ClientObject*>(self)->client;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

const ArgParser kCreateArgs("create_collection", {"name", "dim", "metric", "m", "ef_construction", "quantize"}, 2);

PyObject* client_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[6];
    if (!kCreateArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string name;
    uint64_t dim = 0;
    MetricArg metric;
    DatabaseConfig config;
    uint64_t m = config.m;
    uint64_t ef_construction = config.ef_construction;
    if (!arg_text(a[0], "name", &name) || !arg_u64(a[1], "dim", &dim) || !metric.convert(a[2])) return nullptr;
    if (!absent(a[3]) && !arg_u64(a[3], "m", &m)) return nullptr;
    if (!absent(a[4]) && !arg_u64(a[4], "ef_construction", &ef_construction)) return nullptr;
    if (a[5] != nullptr && !arg_bool(a[5], "quantize", &config.quantize)) return nullptr;
    if (!metric.parse()) return nullptr;  // before the name is looked at
    config.m = m;
    config.ef_construction = ef_construction;
    return opened(engine(self).create_collection(name, dim, metric.metric, config));
  });
}

const ArgParser kGetArgs("get_collection", {"name"}, 1);

PyObject* client_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kGetArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string name;
    if (!arg_text(a[0], "name", &name)) return nullptr;
    return opened(engine(self).get_collection(name));
  });
}

const ArgParser kGetOrCreateArgs("get_or_create_collection", {"name", "dim", "metric"}, 2);

PyObject* client_get_or_create(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[3];
    if (!kGetOrCreateArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string name;
    uint64_t dim = 0;
    MetricArg metric;
    if (!arg_text(a[0], "name", &name) || !arg_u64(a[1], "dim", &dim) || !metric.convert(a[2])) return nullptr;
    if (!metric.parse()) return nullptr;
    return opened(engine(self).get_or_create_collection(name, dim, metric.metric));
  });
}

const ArgParser kDeleteArgs("delete_collection", {"name"}, 1);

PyObject* client_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    if (!kDeleteArgs.parse(args, nargs, kwnames, a)) return nullptr;
    std::string name;
    if (!arg_text(a[0], "name", &name)) return nullptr;
    Result<bool> deleted = engine(self).delete_collection(name);
    if (!deleted.ok()) return raise_engine_error(deleted.error());
    return PyBool_FromLong(deleted.value() ? 1 : 0);
  });
}

PyObject* client_list(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<std::vector<std::string>> names = engine(self).list_collections();
    if (!names.ok()) return raise_engine_error(names.error());
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names->size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < names->size(); ++i) {
      const std::string& n = (*names)[i];
      // Listed names are UTF-8 already.
      PyObject* s = PyUnicode_DecodeUTF8(n.data(), static_cast<Py_ssize_t>(n.size()), "strict");
      if (s == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
  });
}

PyCFunction fast(FastMethod f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)); }

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"create_collection", fast(client_create), kFastKw,
     "create_collection($self, name, dim, metric=None, m=None, ef_construction=None, quantize=False)\n--\n\n"
     "Create a new collection. Fails if it already exists."},
    {"get_collection", fast(client_get), kFastKw,
     "get_collection($self, name)\n--\n\nGet an existing collection by name."},
    {"get_or_create_collection", fast(client_get_or_create), kFastKw,
     "get_or_create_collection($self, name, dim, metric=None)\n--\n\nGet or create a collection."},
    {"delete_collection", fast(client_delete), kFastKw,
     "delete_collection($self, name)\n--\n\nDelete a collection and all its data."},
    {"list_collections", client_list, METH_NOARGS, "list_collections($self)\n--\n\nList all collection names."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Client(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "kelpo._kelpo.Client",
    sizeof(ClientObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* client_type() {
  if (g_type == nullptr) {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (g_type == nullptr) return nullptr;
  }
  Py_INCREF(g_type);
  return reinterpret_cast<PyObject*>(g_type);
}

}  // namespace kelpo::py
