#include "python/exit_hooks.h"

#include <Python.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>

#include "common/exit_waits.h"
#include "common/process_generation.h"
#include "python/gil.h"
#include "python/ref.h"

namespace quillmere::python {
namespace {

// Among the C library's exit functions, after the interpreter has finalized.
void finish_writers_at_exit() {
  try {
    ExitWaits::instance().finish_all();
  } catch (const std::exception&) {
    // Nothing is left to report to at this point.
  }
}

PyObject* finish_writers(PyObject*, PyObject*) {
  without_gil([] { ExitWaits::instance().finish_all(); });
  Py_RETURN_NONE;
}

PyMethodDef finish_writers_def = {"_finish_writers", finish_writers, METH_NOARGS, nullptr};

// Behind every other multiprocessing finalizer, which may still write.
constexpr long kLastExitPriority = LONG_MIN;

// The multiprocessing parent of this process, or None; null only on error.
PyRef multiprocessing_parent() {
  PyRef name = PyRef::steal(PyUnicode_FromString("multiprocessing.process"));
  if (!name) return {};
  PyRef process = PyRef::steal(PyImport_GetModule(name.get()));
  if (!process) return PyErr_Occurred() ? PyRef() : PyRef::borrow(Py_None);
  return PyRef::steal(PyObject_CallMethod(process.get(), "parent_process", nullptr));
}

}  // namespace

void wait_for_writers_at_process_exit() {
  // A forked child inherits the registration with the rest of the process.
  static const bool registered = std::atexit(finish_writers_at_exit) == 0;
  (void)registered;
}

bool wait_for_writers_before_child_exit() {
  // multiprocessing starts each child with an empty list of finalizers, so
  // a registration holds for the process that made it.
  static std::uint64_t registered_in = UINT64_MAX;
  if (registered_in == process_generation()) return true;
  PyRef parent = multiprocessing_parent();
  if (!parent) return false;
  if (parent.get() == Py_None) return true;
  PyRef util = PyRef::steal(PyImport_ImportModule("multiprocessing.util"));
  if (!util) return false;
  PyRef finish = PyRef::steal(PyCFunction_New(&finish_writers_def, nullptr));
  if (!finish) return false;
  PyRef finalize = PyRef::steal(PyObject_GetAttrString(util.get(), "Finalize"));
  PyRef args = PyRef::steal(Py_BuildValue("(OO)", Py_None, finish.get()));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{sl}", "exitpriority", kLastExitPriority));
  if (!finalize || !args || !kwargs) return false;
  PyRef registered = PyRef::steal(PyObject_Call(finalize.get(), args.get(), kwargs.get()));
  if (!registered) return false;
  registered_in = process_generation();
  return true;
}

}  // namespace quillmere::python
