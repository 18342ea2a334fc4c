// The extension module's entry. PyInit_quillmere hands the interpreter a
// module definition for multi-phase initialisation whose one execution step
// adds the engine classes, has the process wait for the engines' writers
// before it ends and has SQLite's locks held across forks; nothing else runs
// at import time. The classes are made once per process, so only the main
// interpreter may import the module.
#include <Python.h>

#include "db_engine/db_engine.h"
#include "db_engine_web_server/db_engine_web_server.h"
#include "python/errors.h"
#include "python/exit_hooks.h"
#include "python/ref.h"
#include "store/sqlite_fork_guard.h"

namespace {

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// The main interpreter's id; subinterpreters count up from it.
constexpr int64_t kMainInterpreterId = 0;

int quillmere_exec(PyObject* module) {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != kMainInterpreterId) {
    PyErr_SetString(PyExc_ImportError,
                    "module quillmere.quillmere does not support loading in subinterpreters");
    return -1;
  }
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError,
                    quillmere::python::cast_error_text(module, "PyModule").c_str());
    return -1;
  }
  PyObject* added = quillmere::python::guarded([module]() -> PyObject* {
    if (add_class(module, "DBEngine", quillmere::db_engine::db_engine_class()) < 0 ||
        add_class(module, "DBEngineWebServer",
                  quillmere::db_engine_web_server::db_engine_web_server_class()) < 0) {
      return nullptr;
    }
    if (!quillmere::python::wait_for_writers_at_process_exit()) return nullptr;
    const quillmere::Status forks = quillmere::store::hold_sqlite_locks_across_forks();
    if (!forks.ok()) return quillmere::python::raise_runtime_error(forks.message());
    return quillmere::python::none();
  });
  if (added == nullptr) return -1;
  Py_DECREF(added);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quillmere_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quillmere",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quillmere(void) { return PyModuleDef_Init(&module_definition); }
