// The extension module kelpo._kelpo: registers Database, SearchResult and Client.
//
// The type objects are process-wide statics, and the engine's worker pool and
// hint flag are process-wide too, so the module refuses to load in a second
// interpreter of the same process rather than share them across interpreters.
#include "binding/py_ref.h"

#include <cstdint>

#include "binding/client_type.h"
#include "binding/database_type.h"
#include "binding/search_result_type.h"

namespace kelpo::py {
namespace {

// The interpreter that first initialised the module, and the module it got.
int64_t g_owner_interpreter = -1;
PyObject* g_module = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kelpo",
    nullptr,  // no module docstring
    // Not -1: CPython then calls the init function again for every interpreter
    // that imports the module, which is where a second one is turned away.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* create_module() {
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref database = Ref::steal(database_type());
  if (!database || PyModule_AddObjectRef(module.get(), "Database", database.get()) != 0) return nullptr;
  Ref result = Ref::steal(search_result_type());
  if (!result || PyModule_AddObjectRef(module.get(), "SearchResult", result.get()) != 0) return nullptr;
  Ref client = Ref::steal(client_type());
  if (!client || PyModule_AddObjectRef(module.get(), "Client", client.get()) != 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace kelpo::py

extern "C" PyMODINIT_FUNC PyInit__kelpo(void) {
  using namespace kelpo::py;
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (g_owner_interpreter >= 0 && g_owner_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "kelpo._kelpo does not support sub-interpreters: it is already loaded in another interpreter "
                    "of this process");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  g_owner_interpreter = interpreter;
  g_module = Py_NewRef(module);  // kept for the life of the process
  return module;
}
