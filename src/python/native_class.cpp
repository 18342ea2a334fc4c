#include "python/native_class.h"

namespace quillmere::python {

PyTypeObject* class_once(PyTypeObject*& cache, PyType_Spec& spec) {
  if (cache == nullptr) {
    cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  }
  return cache;
}

PyObject* allocate_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_function(self);
  Py_DECREF(type);
}

}  // namespace quillmere::python
