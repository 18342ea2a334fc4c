// The extension module's entry. PyInit_quillmere hands the interpreter a
// module definition for multi-phase initialisation whose one execution step
// adds the engine classes and asks the interpreter to let the engines'
// background writers finish when it exits; nothing else runs at import time.
#include <Python.h>

#include "common/exit_waits.h"
#include "db_engine/db_engine.h"
#include "db_engine_web_server/db_engine_web_server.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/ref.h"

namespace {

using quillmere::python::PyRef;

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// Runs among the interpreter's exit functions, after the program's own
// threads were joined: every write an engine accepted is committed before
// the process goes.
PyObject* finish_writers(PyObject*, PyObject*) {
  {
    quillmere::python::ReleasedGil released;
    quillmere::ExitWaits::instance().finish_all();
  }
  Py_RETURN_NONE;
}

PyMethodDef finish_writers_def = {"_finish_writers", finish_writers, METH_NOARGS, nullptr};

int register_exit_hook() {
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  PyRef hook = PyRef::steal(PyCFunction_New(&finish_writers_def, nullptr));
  if (!hook) return -1;
  PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return registered ? 0 : -1;
}

int quillmere_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError,
                    quillmere::python::cast_error_text(module, "PyModule").c_str());
    return -1;
  }
  if (add_class(module, "DBEngine", quillmere::db_engine::db_engine_class()) < 0 ||
      add_class(module, "DBEngineWebServer",
                quillmere::db_engine_web_server::db_engine_web_server_class()) < 0) {
    return -1;
  }
  return register_exit_hook();
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
