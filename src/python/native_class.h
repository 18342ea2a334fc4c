// Helpers for native classes built with PyType_FromSpec: the class object is
// created once per process and reused by every module object; instances are
// allocated and freed through the type's own slots. The class specs set
// neither Py_TPFLAGS_BASETYPE (no subclassing) nor a dict or weak-reference
// offset. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

namespace quillmere::python {

// The class for `spec`, created on first use and kept in `cache` for the life
// of the process. Returns a borrowed reference, or null with the error set.
PyTypeObject* class_once(PyTypeObject*& cache, PyType_Spec& spec);

// A zero-filled instance of `type`, or null with the error set.
PyObject* allocate_instance(PyTypeObject* type);

// Frees an instance whose fields are already released, and drops the
// reference every heap-type instance holds on its class.
void free_instance(PyObject* self);

}  // namespace quillmere::python
