// Small RAII helpers for the CPython C API: owned references, buffer views and
// the interpreter-lock release. Everything here except AllowThreads itself must
// be used with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kelpo::py {

// One strong reference, dropped on destruction. Null is a valid (empty) state,
// which is what a failed C-API call returns.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (the result of most C-API calls).
  static Ref steal(PyObject* o) {
    Ref r;
    r.p_ = o;
    return r;
  }
  // Adds a reference to a borrowed pointer, so it survives code that may drop
  // the container it was borrowed from.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return steal(o);
  }

  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Hands the reference to the caller (e.g. as a function's return value).
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A buffer-protocol view, released on destruction. The exporter (a numpy
// array, say) keeps its memory alive and unresized while the view is held.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { reset(); }

  // Asks `obj` for a view with `flags`; false (with a Python error set) if it
  // cannot give one.
  bool acquire(PyObject* obj, int flags) {
    reset();
    if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  void reset() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Releases the interpreter lock for its lifetime. Declare every object that
// owns Python references before it, so those die only after the lock is back.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;
  ~AllowThreads() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace kelpo::py
