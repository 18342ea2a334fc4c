// Argument binding for native methods: matches positional and keyword
// arguments to a fixed list of positional-or-keyword parameters and
// raises TypeError for missing, surplus, repeated or unknown ones. Use only
// with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace quillmere::python {

struct ParameterList {
  const char* function;  // as shown in messages, e.g. "DBEngine.insert"
  const char* const* names;
  std::size_t count;
  // The first `required` parameters must be given; the others default to
  // absent (bound as null).
  std::size_t required;
};

// Vectorcall convention (METH_FASTCALL | METH_KEYWORDS). On success fills
// `bound[0..count)` with borrowed references and returns true.
bool bind_arguments(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// Tuple-and-dict convention (tp_new).
bool bind_arguments(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                    PyObject** bound);

}  // namespace quillmere::python
