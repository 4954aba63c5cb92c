// How failures leave the module: every engine error becomes a ValueError with
// its display text, argument problems name the argument, and no C++ exception
// ever crosses into the interpreter.
#pragma once

#include "binding/py_ref.h"

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "engine/util/error.h"

namespace kelpo::py {

// Raises ValueError with the error's display text. Returns nullptr so callers
// can `return raise_engine_error(e);`.
PyObject* raise_engine_error(const KelpoError& error);

// Raises `type` with "argument '{arg}': {reason}". Returns nullptr.
PyObject* raise_arg_error(PyObject* type, const char* arg, const std::string& reason);

// Takes the pending exception and returns its str() (or the exception type's
// name when str() is empty or fails). Leaves no exception set.
std::string take_error_text();

// The short type name of an object ("int", "ndarray"), as Python error
// messages quote it.
const char* type_name(PyObject* o);

// Runs `body`, turning any C++ exception that escapes it into a Python error
// (MemoryError for allocation failures) and returning `error_value` then. Every
// function the interpreter calls into is wrapped in this.
template <class T, class F>
T guarded(T error_value, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  return error_value;
}

template <class F>
PyObject* guarded(F&& body) noexcept {
  return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace kelpo::py
