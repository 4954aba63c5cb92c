#include "binding/convert_vector.h"

#include <cstring>
#include <string>

#include "binding/errors.h"

namespace kelpo::py {
namespace {

// numpy.ndarray, looked up once numpy is imported; a strong reference kept for
// the life of the process.
PyObject* g_ndarray_type = nullptr;

// Whether a buffer holds native-order items of one struct-module type code.
bool format_is(const Py_buffer& v, char code, Py_ssize_t itemsize) {
  if (v.itemsize != itemsize) return false;
  const char* f = v.format == nullptr ? "B" : v.format;
  // '<' and '=' name standard little-endian sizes, which are the native ones on
  // the platforms we build for; '>' and '!' are byte-swapped and not accepted.
  if (*f == '@' || *f == '=' || *f == '<') ++f;
  return f[0] == code && f[1] == '\0';
}

bool is_float32(const Py_buffer& v) { return format_is(v, 'f', 4); }
bool is_float64(const Py_buffer& v) { return format_is(v, 'd', 8); }

// Reads a one-dimensional float32/float64 buffer of any stride.
void read_strided_1d(const Py_buffer& v, std::vector<float>* out) {
  const Py_ssize_t n = v.shape[0];
  const Py_ssize_t stride = v.strides == nullptr ? v.itemsize : v.strides[0];
  const char* p = static_cast<const char*>(v.buf);
  out->resize(static_cast<size_t>(n));
  if (is_float32(v) && stride == 4) {
    if (n > 0) std::memcpy(out->data(), p, static_cast<size_t>(n) * 4);
    return;
  }
  for (Py_ssize_t i = 0; i < n; ++i, p += stride) {
    if (v.itemsize == 4) {
      float f;
      std::memcpy(&f, p, 4);
      (*out)[static_cast<size_t>(i)] = f;
    } else {
      double d;
      std::memcpy(&d, p, 8);
      (*out)[static_cast<size_t>(i)] = static_cast<float>(d);
    }
  }
}

// The sequence form of one vector. Returns false with *why set (and no Python
// error pending) when the form does not apply.
bool list_form(PyObject* obj, std::vector<float>* out, std::string* why) {
  if (PyUnicode_Check(obj)) {
    *why = "Can't extract `str` to `Vec`";
    return false;
  }
  if (!PySequence_Check(obj)) {
    *why = std::string("'") + type_name(obj) + "' object is not a sequence";
    return false;
  }
  // Arrays of float32 or float64 are read straight from their buffer: the
  // same values the element-by-element route would give, without creating a
  // Python scalar per component.
  if (!PyList_Check(obj) && !PyTuple_Check(obj) && PyObject_CheckBuffer(obj)) {
    BufferView view;
    if (view.acquire(obj, PyBUF_RECORDS_RO)) {
      const Py_buffer& v = view.view();
      if (v.ndim == 1 && (is_float32(v) || is_float64(v))) {
        read_strided_1d(v, out);
        return true;
      }
    } else {
      PyErr_Clear();
    }
  }
  Ref seq = Ref::steal(PySequence_Fast(obj, "not a sequence"));
  if (!seq) {
    *why = take_error_text();
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq.get())));
  // The size is re-read every step: an item's __float__ may change the list.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (PyFloat_CheckExact(item)) {
      out->push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
      continue;
    }
    Ref held = Ref::borrow(item);
    const double d = PyFloat_AsDouble(held.get());
    if (d == -1.0 && PyErr_Occurred()) {
      *why = "item " + std::to_string(i) + ": " + take_error_text();
      return false;
    }
    out->push_back(static_cast<float>(d));
  }
  return true;
}

// Checks that `view` holds a float32 numpy array of `ndim` dimensions.
bool numpy_float32_form(PyObject* obj, int ndim, BufferView* view, std::string* why) {
  if (!is_ndarray(obj)) {
    *why = std::string("'") + type_name(obj) + "' object is not a numpy array";
    return false;
  }
  if (!view->acquire(obj, PyBUF_RECORDS_RO)) {
    *why = take_error_text();
    return false;
  }
  const Py_buffer& v = view->view();
  if (!is_float32(v)) {
    *why = std::string("array dtype is not float32 (buffer format '") + (v.format ? v.format : "B") + "')";
    view->reset();
    return false;
  }
  if (v.ndim != ndim) {
    *why = "expected " + std::to_string(ndim) + " dimension" + (ndim == 1 ? "" : "s") + ", got " +
           std::to_string(v.ndim);
    view->reset();
    return false;
  }
  return true;
}

PyObject* raise_not_contiguous() {
  PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
  return nullptr;
}

}  // namespace

bool is_ndarray(PyObject* obj) {
  if (!PyObject_CheckBuffer(obj)) return false;  // every array exports a buffer
  if (g_ndarray_type == nullptr) {
    // A sys.modules lookup: if numpy has not been imported, no array exists.
    static PyObject* numpy_name = PyUnicode_InternFromString("numpy");
    if (numpy_name == nullptr) {
      PyErr_Clear();
      return false;
    }
    Ref numpy = Ref::steal(PyImport_GetModule(numpy_name));
    if (!numpy) {
      PyErr_Clear();
      return false;
    }
    PyObject* type = PyObject_GetAttrString(numpy.get(), "ndarray");
    if (type == nullptr || !PyType_Check(type)) {
      Py_XDECREF(type);
      PyErr_Clear();  // numpy half-imported, or something else under its name
      return false;
    }
    g_ndarray_type = type;
  }
  return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_ndarray_type));
}

bool vector_from_py(PyObject* obj, const char* arg, std::vector<float>* out) {
  std::string list_why;
  if (list_form(obj, out, &list_why)) return true;

  std::string numpy_why;
  BufferView view;
  if (numpy_float32_form(obj, 1, &view, &numpy_why)) {
    const Py_buffer& v = view.view();
    if (!PyBuffer_IsContiguous(&v, 'A')) {
      raise_not_contiguous();
      return false;
    }
    read_strided_1d(v, out);
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "argument '%s': failed to extract enum VectorInput ('List | Numpy')\n- variant List: %s\n"
               "- variant Numpy: %s",
               arg, list_why.c_str(), numpy_why.c_str());
  return false;
}

bool BatchInput::extract(PyObject* obj, const char* arg) {
  array_.reset();
  lists_ = VectorBatch();
  std::string numpy_why;
  if (numpy_float32_form(obj, 2, &array_, &numpy_why)) {
    size_ = static_cast<size_t>(array_.view().shape[0]);
    return true;
  }
  std::string lists_why;
  if (PyUnicode_Check(obj)) {
    lists_why = "Can't extract `str` to `Vec`";
  } else if (!PySequence_Check(obj)) {
    lists_why = std::string("'") + type_name(obj) + "' object is not a sequence";
  } else if (Ref seq = Ref::steal(PySequence_Fast(obj, "not a sequence")); !seq) {
    lists_why = take_error_text();
  } else {
    std::vector<float> row;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
      std::string why;
      if (list_form(item.get(), &row, &why)) {
        lists_.push_back(row.data(), row.size());
      } else {
        lists_why = "item " + std::to_string(i) + ": " + why;
        ok = false;
      }
    }
    if (ok) {
      size_ = lists_.size();
      return true;
    }
    lists_ = VectorBatch();
  }
  PyErr_Format(PyExc_TypeError,
               "argument '%s': failed to extract enum BatchVectorInput ('Numpy | Lists')\n- variant Numpy: %s\n"
               "- variant Lists: %s",
               arg, numpy_why.c_str(), lists_why.c_str());
  return false;
}

bool BatchInput::to_batch(VectorBatch* out) {
  if (!array_.held()) {
    *out = std::move(lists_);
    lists_ = VectorBatch();
    return true;
  }
  const Py_buffer& v = array_.view();
  if (!PyBuffer_IsContiguous(&v, 'A')) {
    array_.reset();
    raise_not_contiguous();
    return false;
  }
  const size_t rows = static_cast<size_t>(v.shape[0]);
  const size_t cols = static_cast<size_t>(v.shape[1]);
  *out = VectorBatch::uniform(rows, cols);
  const char* base = static_cast<const char*>(v.buf);
  if (PyBuffer_IsContiguous(&v, 'C')) {
    // The common case: one copy of the whole matrix.
    if (rows * cols > 0) std::memcpy(out->data.data(), base, rows * cols * sizeof(float));
  } else {
    // Fortran order: gather each logical row.
    const Py_ssize_t rs = v.strides[0];
    const Py_ssize_t cs = v.strides[1];
    float* dst = out->data.data();
    for (size_t r = 0; r < rows; ++r) {
      const char* p = base + static_cast<Py_ssize_t>(r) * rs;
      for (size_t c = 0; c < cols; ++c, p += cs) std::memcpy(dst++, p, sizeof(float));
    }
  }
  array_.reset();
  return true;
}

}  // namespace kelpo::py
