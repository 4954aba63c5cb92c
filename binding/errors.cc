#include "binding/errors.h"

#include <cstring>

namespace kelpo::py {

const char* type_name(PyObject* o) {
  const char* full = Py_TYPE(o)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot ? dot + 1 : full;
}

PyObject* raise_engine_error(const KelpoError& error) {
  const std::string& text = error.message();
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

PyObject* raise_arg_error(PyObject* type, const char* arg, const std::string& reason) {
  PyErr_Format(type, "argument '%s': %s", arg, reason.c_str());
  return nullptr;
}

std::string take_error_text() {
#if PY_VERSION_HEX >= 0x030C0000
  Ref value = Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type_raw, *value_raw, *tb_raw;
  PyErr_Fetch(&type_raw, &value_raw, &tb_raw);
  PyErr_NormalizeException(&type_raw, &value_raw, &tb_raw);
  Ref type = Ref::steal(type_raw);
  Ref tb = Ref::steal(tb_raw);
  Ref value = Ref::steal(value_raw);
#endif
  if (!value) return "unknown error";
  std::string text;
  if (Ref str = Ref::steal(PyObject_Str(value.get()))) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &n)) text.assign(utf8, static_cast<size_t>(n));
  }
  PyErr_Clear();  // a failing str() must not leak a second exception
  if (text.empty()) text = type_name(value.get());
  return text;
}

}  // namespace kelpo::py
