// The extension module's entry. PyInit_quillmere hands the interpreter a
// module definition for multi-phase initialisation whose one execution step
// adds the engine classes; nothing else runs at import time.
#include <Python.h>

#include "db_engine/db_engine.h"
#include "python/errors.h"

namespace {

int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int quillmere_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError,
                    quillmere::python::cast_error_text(module, "PyModule").c_str());
    return -1;
  }
  return add_class(module, "DBEngine", quillmere::db_engine::db_engine_class());
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
