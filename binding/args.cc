#include "binding/args.h"

#include <cstring>

#include "binding/errors.h"

namespace kelpo::py {

ArgParser::ArgParser(const char* function, std::initializer_list<const char*> names, size_t required)
    : function_(function), names_(names), required_(required) {}

bool ArgParser::intern() const {
  if (!interned_.empty()) return true;
  std::vector<PyObject*> interned;
  for (const char* name : names_) {
    PyObject* s = PyUnicode_InternFromString(name);
    if (s == nullptr) {
      for (PyObject* done : interned) Py_DECREF(done);
      return false;
    }
    interned.push_back(s);
  }
  interned_ = std::move(interned);
  return true;
}

bool ArgParser::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
  const size_t n = names_.size();
  for (size_t i = 0; i < n; ++i) out[i] = nullptr;
  if (static_cast<size_t>(nargs) > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zd given)", function_, n, n == 1 ? "" : "s",
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nkw > 0) {
    if (!intern()) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      size_t slot = n;
      for (size_t i = 0; i < n && slot == n; ++i) {
        if (key == interned_[i]) slot = i;
      }
      for (size_t i = 0; i < n && slot == n; ++i) {
        if (PyUnicode_Compare(key, interned_[i]) == 0) slot = i;
      }
      if (slot == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
        return false;
      }
      if (out[slot] != nullptr) {
        if (static_cast<Py_ssize_t>(slot) < nargs) {
          PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", function_,
                       names_[slot], slot + 1);
        } else {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_, names_[slot]);
        }
        return false;
      }
      out[slot] = args[nargs + k];
    }
  }
  for (size_t i = 0; i < required_; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_, names_[i], i + 1);
      return false;
    }
  }
  return true;
}

bool ArgParser::parse_call(PyObject* args, PyObject* kwargs, PyObject** out) const {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> stack;
  for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
  Ref kwnames;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    Py_ssize_t pos = 0;
    Py_ssize_t i = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), i++, key);
      stack.push_back(value);  // the call's own dict keeps it alive
    }
  }
  return parse(stack.data(), nargs, kwnames.get(), out);
}

bool arg_text(PyObject* o, const char* name, std::string* out) {
  if (!PyUnicode_Check(o)) {
    raise_arg_error(PyExc_TypeError, name, std::string("expected str, got '") + type_name(o) + "'");
    return false;
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &n);
  if (utf8 == nullptr) {
    // Lone surrogates have no UTF-8 form.
    raise_arg_error(PyExc_TypeError, name, take_error_text());
    return false;
  }
  out->assign(utf8, static_cast<size_t>(n));
  return true;
}

bool arg_u64(PyObject* o, const char* name, uint64_t* out) {
  if (!PyLong_Check(o) && !PyIndex_Check(o)) {
    raise_arg_error(PyExc_TypeError, name,
                    std::string("'") + type_name(o) + "' object cannot be interpreted as an integer");
    return false;
  }
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    raise_arg_error(PyExc_TypeError, name, take_error_text());
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    PyErr_Clear();
    const bool negative = overflow < 0 || (overflow == 0 && s < 0);
    raise_arg_error(PyExc_OverflowError, name,
                    negative ? "can't convert negative int to unsigned" : "int too big to convert");
    return false;
  }
  *out = static_cast<uint64_t>(v);
  return true;
}

bool arg_bool(PyObject* o, const char* name, bool* out) {
  if (PyBool_Check(o)) {
    *out = (o == Py_True);
    return true;
  }
  // numpy's booleans are not bool subclasses; recognise them by type name
  // rather than importing numpy.
  const char* tp = Py_TYPE(o)->tp_name;
  if (std::strcmp(tp, "numpy.bool_") == 0 || std::strcmp(tp, "numpy.bool") == 0) {
    const int truth = PyObject_IsTrue(o);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  raise_arg_error(PyExc_TypeError, name, std::string("expected bool, got '") + type_name(o) + "'");
  return false;
}

bool arg_double(PyObject* o, const char* name, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    raise_arg_error(PyExc_TypeError, name, take_error_text());
    return false;
  }
  *out = v;
  return true;
}

bool arg_dict(PyObject* o, const char* name) {
  if (PyDict_Check(o)) return true;
  raise_arg_error(PyExc_TypeError, name, std::string("expected dict, got '") + type_name(o) + "'");
  return false;
}

bool arg_text_list(PyObject* o, const char* name, std::vector<std::string>* out) {
  if (PyUnicode_Check(o)) {
    raise_arg_error(PyExc_TypeError, name, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_arg_error(PyExc_TypeError, name, std::string("'") + type_name(o) + "' object is not a sequence");
    return false;
  }
  Ref seq = Ref::steal(PySequence_Fast(o, "not a sequence"));
  if (!seq) {
    raise_arg_error(PyExc_TypeError, name, take_error_text());
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out->clear();
  out->reserve(static_cast<size_t>(n));
  // Converting a str runs no Python code, so the borrowed items stay valid.
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) {
      raise_arg_error(PyExc_TypeError, name,
                      "item " + std::to_string(i) + " is '" + type_name(item) + "', expected str");
      return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &len);
    if (utf8 == nullptr) {
      raise_arg_error(PyExc_TypeError, name, take_error_text());
      return false;
    }
    out->emplace_back(utf8, static_cast<size_t>(len));
  }
  return true;
}

}  // namespace kelpo::py
