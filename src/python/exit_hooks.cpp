#include "python/exit_hooks.h"

#include <Python.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>

#include "common/exit_waits.h"
#include "common/process_generation.h"
#include "python/errors.h"
#include "python/gil.h"
#include "python/ref.h"

namespace quillmere::python {
namespace {

// At the end of the interpreter's finalization, and among the C library's
// exit functions: a process may also end by exit() without finalizing the
// interpreter (C code, an embedding program), and after a finalization the
// second call finds nothing left. Needs no interpreter.
void finish_writers_at_exit() {
  try {
    ExitWaits::instance().finish_all();
  } catch (const std::exception&) {
    // Nothing is left to report to at this point.
  }
}

PyObject* finish_writers(PyObject*, PyObject*) {
  return guarded([] {
    without_gil([] { ExitWaits::instance().finish_all(); });
    return none();
  });
}

PyMethodDef finish_writers_def = {"_finish_writers", finish_writers, METH_NOARGS, nullptr};

// Behind every other multiprocessing finalizer, which may still write.
constexpr long kLastExitPriority = LONG_MIN;

// Whether this process is a multiprocessing child that will end with
// os._exit: one made by fork or by a fork server (a spawned child ends as any
// interpreter does). Nothing, with the error set, when that cannot be told.
std::optional<bool> ends_with_os_exit() {
  PyRef name = PyRef::steal(PyUnicode_FromString("multiprocessing.process"));
  if (!name) return std::nullopt;
  PyRef process = PyRef::steal(PyImport_GetModule(name.get()));
  if (!process) return PyErr_Occurred() ? std::nullopt : std::optional<bool>(false);
  PyRef parent = PyRef::steal(PyObject_CallMethod(process.get(), "parent_process", nullptr));
  if (!parent) return std::nullopt;
  if (parent.get() == Py_None) return false;
  PyRef multiprocessing = PyRef::steal(PyImport_ImportModule("multiprocessing"));
  if (!multiprocessing) return std::nullopt;
  PyRef method =
      PyRef::steal(PyObject_CallMethod(multiprocessing.get(), "get_start_method", "O", Py_True));
  if (!method) return std::nullopt;
  return !PyUnicode_Check(method.get()) ||
         PyUnicode_CompareWithASCIIString(method.get(), "spawn") != 0;
}

}  // namespace

bool wait_for_writers_at_process_exit() {
  // A forked child inherits the registrations with the rest of the process.
  // An uncaught KeyboardInterrupt ends the interpreter by killing the
  // process with SIGINT right after its finalization, which skips the C
  // library's exit functions: the interpreter's own exit functions run first.
  static const bool registered =
      Py_AtExit(finish_writers_at_exit) == 0 && std::atexit(finish_writers_at_exit) == 0;
  if (!registered) {
    // Without the wait, an exit would cut off writes the engines accepted.
    raise_runtime_error(
        "Cannot have the process wait for the engines' writers before it ends: no more exit "
        "functions can be registered");
  }
  return registered;
}

bool wait_for_writers_before_child_exit() {
  // multiprocessing starts each child with an empty list of finalizers, so
  // a registration holds for the process that made it.
  static std::uint64_t registered_in = UINT64_MAX;
  if (registered_in == process_generation()) return true;
  const std::optional<bool> os_exit = ends_with_os_exit();
  if (!os_exit) return false;
  if (!*os_exit) return true;
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
