// Vectors from Python: one vector (`VectorInput`) and batches
// (`BatchVectorInput`). Every form ends as 32-bit floats; lengths are not
// checked here, the engine compares them with the database's dimension.
#pragma once

#include "binding/py_ref.h"

#include <vector>

#include "engine/db/database.h"

namespace kelpo::py {

// One vector. Forms, in order: any sequence other than str whose items convert
// to float (a one-dimensional array of any numeric dtype among them), then a
// one-dimensional float32 numpy array. Raises TypeError naming `arg` when
// neither applies.
bool vector_from_py(PyObject* obj, const char* arg, std::vector<float>* out);

// A batch of vectors, converted in two steps so the batch methods can check
// their other arguments in between: extract() picks the form (a float32 numpy
// matrix, kept borrowed; or a sequence of vectors, converted at once) and
// to_batch() copies the matrix, which is where a non-contiguous one fails.
class BatchInput {
 public:
  bool extract(PyObject* obj, const char* arg);
  // The number of vectors; valid after a successful extract().
  size_t size() const { return size_; }
  // Moves the vectors into `out` and releases the borrowed array.
  bool to_batch(VectorBatch* out);

 private:
  BufferView array_;  // the float32 matrix form, while borrowed
  VectorBatch lists_;  // the sequence form, already converted
  size_t size_ = 0;
};

// Whether `obj` is a numpy array (numpy need not be imported: if it is not,
// nothing can be an array).
bool is_ndarray(PyObject* obj);

}  // namespace kelpo::py
