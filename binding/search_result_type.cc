#include "binding/search_result_type.h"

#include <cstdio>
#include <new>
#include <optional>
#include <string>

#include "binding/args.h"
#include "binding/convert_json.h"
#include "binding/errors.h"

namespace kelpo::py {
namespace {

struct SearchResultObject {
  PyObject_HEAD
  // Constructed in new_result(), destroyed in dealloc; constant in between.
  SearchHit hit;
};

PyTypeObject* g_type = nullptr;  // created once, never freed

SearchResultObject* as_result(PyObject* self) { return reinterpret_cast<SearchResultObject*>(self); }

PyObject* new_result(SearchHit&& hit) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_type, Py_tp_alloc));
  PyObject* self = alloc(g_type, 0);
  if (self == nullptr) return nullptr;
  new (&as_result(self)->hit) SearchHit(std::move(hit));
  return self;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_result(self)->hit.~SearchHit();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* reject_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for SearchResult");
  return nullptr;
}

PyObject* id_of(const SearchHit& hit) {
  return PyUnicode_DecodeUTF8(hit.id.data(), static_cast<Py_ssize_t>(hit.id.size()), "replace");
}

PyObject* metadata_of(const SearchHit& hit) {
  if (!hit.metadata) Py_RETURN_NONE;
  return json_to_py(*hit.metadata);
}

PyObject* get_id(PyObject* self, void*) {
  return guarded([&] { return id_of(as_result(self)->hit); });
}

PyObject* get_distance(PyObject* self, void*) { return PyFloat_FromDouble(as_result(self)->hit.distance); }

PyObject* get_metadata(PyObject* self, void*) {
  return guarded([&] { return metadata_of(as_result(self)->hit); });
}

PyObject* repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const SearchHit& hit = as_result(self)->hit;
    char distance[64];
    std::snprintf(distance, sizeof distance, "%.4f", static_cast<double>(hit.distance));
    const std::string text = "SearchResult(id='" + hit.id + "', distance=" + distance + ")";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  });
}

PyObject* subscript(PyObject* self, PyObject* key) {
  return guarded([&]() -> PyObject* {
    uint64_t i = 0;
    if (!arg_u64(key, "idx", &i)) return nullptr;
    const SearchHit& hit = as_result(self)->hit;
    switch (i) {
      case 0:
        return id_of(hit);
      case 1:
        return PyFloat_FromDouble(hit.distance);
      case 2:
        return metadata_of(hit);
      default:
        PyErr_SetString(PyExc_ValueError, "index out of range");
        return nullptr;
    }
  });
}

PyGetSetDef getset[] = {
    {"id", get_id, nullptr, nullptr, nullptr},
    {"distance", get_distance, nullptr, nullptr, nullptr},
    {"metadata", get_metadata, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(reject_new)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "kelpo._kelpo.SearchResult",
    sizeof(SearchResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* search_result_type() {
  if (g_type == nullptr) {
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (g_type == nullptr) return nullptr;
  }
  Py_INCREF(g_type);
  return reinterpret_cast<PyObject*>(g_type);
}

PyObject* hits_to_list(std::vector<SearchHit>&& hits) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < hits.size(); ++i) {
    PyObject* result = new_result(std::move(hits[i]));
    if (result == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
  }
  return list.release();
}

}  // namespace kelpo::py
