// The Python Client class: a root directory of named databases
// ("collections"). Every call keeps the interpreter lock: they are file-system
// look-ups and database opens, and the name check asks the interpreter which
// characters are letters and digits.
#pragma once

#include "binding/py_ref.h"

namespace kelpo::py {

// Creates the type (once per process) and returns a new reference to it.
PyObject* client_type();

}  // namespace kelpo::py
