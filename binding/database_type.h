// The Python Database class: one engine Database per object, owned for the
// object's whole life.
#pragma once

#include "binding/py_ref.h"

#include <memory>

#include "engine/db/database.h"

namespace kelpo::py {

// Creates the type (once per process) and returns a new reference to it.
PyObject* database_type();

// A new Database object owning `db` (for the collections client).
PyObject* wrap_database(std::unique_ptr<Database> db);

}  // namespace kelpo::py
