// The methods of a native class: each is described once by a Method (its
// qualified name and its required positional-or-keyword parameters), from
// which both the argument binding and the class's method table (with the
// text signature shown by help()) are made. call_method runs the first steps
// of every method: bind the arguments, then borrow the object (shared for
// most methods, exclusive for close-like ones) for the rest of the call. Use
// only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "python/arguments.h"
#include "python/borrow_flag.h"

namespace quillmere::python {

// A method's name as shown in messages ("DBEngine.insert") and its required
// positional-or-keyword parameters.
template <std::size_t N>
struct Method {
  const char* qualified_name;
  std::array<const char*, N> parameters;

  // The name after the class name ("insert").
  const char* name() const {
    const char* dot = qualified_name;
    for (const char* p = qualified_name; *p != '\0'; ++p) {
      if (*p == '.') dot = p + 1;
    }
    return dot;
  }
};

// Binds the arguments (vectorcall convention), takes a borrow of kind `kind`
// on `Object::borrow`, and returns body(object, bound).
template <typename Object, BorrowKind kind, std::size_t N, typename Body>
PyObject* call_method(const Method<N>& method, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  std::array<PyObject*, N> bound{};
  const ParameterList parameters{method.qualified_name, method.parameters.data(), N, N};
  if (!bind_arguments(parameters, args, nargs, kwnames, bound.data())) return nullptr;
  Object& object = *reinterpret_cast<Object*>(self);
  Borrow borrow(object.borrow, kind);
  if (!borrow.ok()) return nullptr;
  return body(object, bound);
}

using FastcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// The PyMethodDef table of a class, built once and kept for the process.
class MethodTable {
 public:
  template <std::size_t N>
  MethodTable& add(const Method<N>& method, FastcallFunction function) {
    std::string doc = std::string(method.name()) + "($self";
    for (const char* parameter : method.parameters) doc.append(", ").append(parameter);
    docs_.push_back(doc + ")\n--\n\n");
    defs_.push_back(PyMethodDef{method.name(),
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
                                METH_FASTCALL | METH_KEYWORDS, docs_.back().c_str()});
    return *this;
  }

  // The table, ending in the terminating entry.
  PyMethodDef* defs() {
    if (defs_.empty() || defs_.back().ml_name != nullptr) defs_.push_back({nullptr, nullptr, 0, nullptr});
    return defs_.data();
  }

 private:
  std::deque<std::string> docs_;  // stable addresses for ml_doc
  std::vector<PyMethodDef> defs_;
};

}  // namespace quillmere::python
