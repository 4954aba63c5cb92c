// Argument passing for the METH_FASTCALL | METH_KEYWORDS methods, and the
// scalar conversions every method shares. Failures raise TypeError "argument
// '{name}': {reason}" (OverflowError for integers out of range) and return
// false.
#pragma once

#include "binding/py_ref.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kelpo::py {

// Binds positional and keyword arguments to a fixed list of parameter names.
// Keyword names are interned once, so the usual call site (literal keywords,
// which the compiler interns too) matches by pointer.
class ArgParser {
 public:
  // `function` is the name used in messages, "search()" style without the
  // parentheses; the first `required` names are mandatory.
  ArgParser(const char* function, std::initializer_list<const char*> names, size_t required);

  size_t size() const { return names_.size(); }

  // Fills out[0 .. size()) with borrowed references, nullptr for an argument
  // not given. On a missing, surplus, duplicate or unknown argument raises
  // TypeError in CPython's usual wording and returns false.
  bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
  // The same for the tuple-and-dict convention of tp_new.
  bool parse_call(PyObject* args, PyObject* kwargs, PyObject** out) const;

 private:
  bool intern() const;

  const char* function_;
  std::vector<const char*> names_;
  size_t required_;
  mutable std::vector<PyObject*> interned_;  // immortal for the process once set
};

// True when an optional argument was left out or given as None.
inline bool absent(PyObject* o) { return o == nullptr || o == Py_None; }

// Text: `str` (or a subclass) only, as UTF-8.
bool arg_text(PyObject* o, const char* name, std::string* out);
// A non-negative integer that fits 64 bits: `int` or anything with __index__.
bool arg_u64(PyObject* o, const char* name, uint64_t* out);
// `bool` or a numpy boolean; nothing else (not even 0 and 1).
bool arg_bool(PyObject* o, const char* name, bool* out);
// A float, or anything with a float conversion.
bool arg_double(PyObject* o, const char* name, double* out);
// A `dict` or subclass; raises TypeError otherwise.
bool arg_dict(PyObject* o, const char* name);

// A sequence of str (not a str itself), e.g. the ids of a batch.
bool arg_text_list(PyObject* o, const char* name, std::vector<std::string>* out);

}  // namespace kelpo::py
