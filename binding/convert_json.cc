#include "binding/convert_json.h"

#include <string>
#include <string_view>

#include "binding/args.h"
#include "binding/errors.h"

namespace kelpo::py {
namespace {

// json.<name>, looked up afresh at each call (so a replaced function is used):
// the module from sys.modules, importing it only if it is not there yet.
Ref json_function(const char* name) {
  static PyObject* module_name = PyUnicode_InternFromString("json");
  if (module_name == nullptr) return Ref();
  Ref module = Ref::steal(PyImport_GetModule(module_name));
  if (!module) {
    if (PyErr_Occurred()) return Ref();
    module = Ref::steal(PyImport_Import(module_name));
    if (!module) return Ref();
  }
  return Ref::steal(PyObject_GetAttrString(module.get(), name));
}

}  // namespace

bool json_from_dict(PyObject* obj, Json* out) {
  Ref dumps = json_function("dumps");
  if (!dumps) return false;
  Ref text = Ref::steal(PyObject_CallOneArg(dumps.get(), obj));
  if (!text) return false;
  if (!PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError, "json.dumps returned '%s', expected str", type_name(text.get()));
    return false;
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (utf8 == nullptr) return false;
  JsonParseError error;
  if (!json_parse(std::string_view(utf8, static_cast<size_t>(n)), out, &error)) {
    const std::string message = "invalid metadata: " + error.text();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  return true;
}

bool metadata_arg(PyObject* obj, const char* arg, std::optional<Json>* out) {
  if (absent(obj)) {
    out->reset();
    return true;
  }
  if (!arg_dict(obj, arg)) return false;
  Json value;
  if (!json_from_dict(obj, &value)) return false;
  *out = std::move(value);
  return true;
}

bool metadatas_arg_type(PyObject* obj, const char* arg) {
  if (absent(obj) || PyList_Check(obj)) return true;
  raise_arg_error(PyExc_TypeError, arg, std::string("expected list or None, got '") + type_name(obj) + "'");
  return false;
}

bool metadatas_convert(PyObject* obj, size_t n_ids, std::vector<std::optional<Json>>* out) {
  out->clear();
  if (absent(obj)) {
    out->resize(n_ids);
    return true;
  }
  const size_t n = static_cast<size_t>(PyList_GET_SIZE(obj));
  if (n != n_ids) {
    PyErr_Format(PyExc_ValueError, "metadatas length (%zu) != ids length (%zu)", n, n_ids);
    return false;
  }
  out->reserve(n);
  for (size_t i = 0; i < n; ++i) {
    // json.dumps may run code (a dict subclass's items()) that shrinks the
    // list, so every item is fetched with a bounds check and held while used.
    PyObject* borrowed = PyList_GetItem(obj, static_cast<Py_ssize_t>(i));
    if (borrowed == nullptr) return false;
    Ref item = Ref::borrow(borrowed);
    if (item.get() == Py_None) {
      out->emplace_back();
      continue;
    }
    if (!PyDict_Check(item.get())) {
      PyErr_SetString(PyExc_ValueError, "metadatas must be list of dicts or None");
      return false;
    }
    Json value;
    if (!json_from_dict(item.get(), &value)) return false;
    out->emplace_back(std::move(value));
  }
  return true;
}

PyObject* json_to_py(const Json& value) {
  const std::string text = json_dump_compact(value);
  Ref loads = json_function("loads");
  if (!loads) return nullptr;
  Ref str = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!str) return nullptr;
  return PyObject_CallOneArg(loads.get(), str.get());
}

}  // namespace kelpo::py
