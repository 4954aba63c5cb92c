#include "binding/parse_filter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/errors.h"

namespace kelpo::py {
namespace {

bool key_text(PyObject* key, std::string* out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "where_filter keys must be str, not '%s'", type_name(key));
    return false;
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &n);
  if (utf8 == nullptr) return false;
  out->assign(utf8, static_cast<size_t>(n));
  return true;
}

bool fail(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

// An integer value as JSON, when it has an exact 64-bit form. Integers from
// 2**63 to 2**64-1 are kept as integers too: stored metadata holds them as
// integers, and as floats they could never equal those.
bool integer_value(PyObject* obj, Json* out) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  int overflow = 0;
  const long long s = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow == 0 && !(s == -1 && PyErr_Occurred())) {
    *out = filter_int_value(static_cast<int64_t>(s));
    return true;
  }
  PyErr_Clear();
  if (overflow > 0) {
    // Above the signed range but within the unsigned one: metadata holds
    // these as unsigned integers, so the filter must as well.
    const unsigned long long u = PyLong_AsUnsignedLongLong(index.get());
    if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      *out = Json(static_cast<uint64_t>(u));
      return true;
    }
    PyErr_Clear();
  }
  return false;
}

// The value of an equality, $ne or $in element.
bool filter_value(PyObject* obj, Json* out) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
    if (utf8 == nullptr) return false;
    *out = Json(std::string(utf8, static_cast<size_t>(n)));
    return true;
  }
  if (PyBool_Check(obj)) {
    *out = Json(obj == Py_True);
    return true;
  }
  if ((PyLong_Check(obj) || PyIndex_Check(obj)) && integer_value(obj, out)) return true;
  if (obj == Py_None) {
    *out = Json(nullptr);
    return true;
  }
  const double d = PyFloat_AsDouble(obj);
  if (!(d == -1.0 && PyErr_Occurred())) {
    *out = filter_float_value(d);
    return true;
  }
  PyErr_Clear();
  return fail(kFilterUnsupportedValue);
}

// A comparison operand: a float as is, anything else through float().
bool threshold(PyObject* obj, Filter::Kind kind, double* out) {
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return fail(filter_not_a_number(kind).c_str());
  }
  *out = d;
  return true;
}

bool parse_operators(const std::string& field, PyObject* ops, std::vector<Filter>* out) {
  Py_ssize_t pos = 0;
  PyObject* key_borrowed;
  PyObject* value_borrowed;
  while (PyDict_Next(ops, &pos, &key_borrowed, &value_borrowed)) {
    // Converting a value may run Python code that changes the dict; hold both.
    Ref key = Ref::borrow(key_borrowed);
    Ref value = Ref::borrow(value_borrowed);
    std::string op;
    if (!key_text(key.get(), &op)) return false;
    const std::optional<Filter::Kind> kind = filter_operator(op);
    if (!kind) return fail(filter_unknown_operator(op).c_str());
    switch (*kind) {
      case Filter::Kind::kNe: {
        Json v;
        if (!filter_value(value.get(), &v)) return false;
        out->push_back(Filter::ne(field, std::move(v)));
        break;
      }
      case Filter::Kind::kIn: {
        if (!PyList_Check(value.get())) return fail(kFilterInNotList);
        std::vector<Json> values;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.get()); ++i) {
          Ref element = Ref::borrow(PyList_GET_ITEM(value.get(), i));
          Json v;
          if (!filter_value(element.get(), &v)) return false;
          values.push_back(std::move(v));
        }
        out->push_back(Filter::in(field, std::move(values)));
        break;
      }
      default: {
        double t = 0.0;
        if (!threshold(value.get(), *kind, &t)) return false;
        out->push_back(Filter::compare(*kind, field, t));
        break;
      }
    }
  }
  return true;
}

}  // namespace

bool parse_filter(PyObject* dict, Filter* out) {
  std::vector<Filter> conditions;
  Py_ssize_t pos = 0;
  PyObject* key_borrowed;
  PyObject* value_borrowed;
  while (PyDict_Next(dict, &pos, &key_borrowed, &value_borrowed)) {
    Ref key = Ref::borrow(key_borrowed);
    Ref value = Ref::borrow(value_borrowed);
    std::string field;
    if (!key_text(key.get(), &field)) return false;
    if (PyDict_Check(value.get())) {
      if (!parse_operators(field, value.get(), &conditions)) return false;
    } else {
      Json v;
      if (!filter_value(value.get(), &v)) return false;
      conditions.push_back(Filter::eq(std::move(field), std::move(v)));
    }
  }
  *out = Filter::combine(std::move(conditions));
  return true;
}

}  // namespace kelpo::py
