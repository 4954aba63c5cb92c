// The Python Database class: one engine Database per object, owned for the
// object's whole life.
#pragma once

#include "binding/py_ref.h"

namespace kelpo::py {

// Creates the type (once per process) and returns a new reference to it.
PyObject* database_type();

}  // namespace kelpo::py
