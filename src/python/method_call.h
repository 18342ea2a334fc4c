// The methods of a native class: each is described once by a Method (its
// qualified name and its required positional-or-keyword parameters), from
// which both the argument binding and the class's method table (with the
// text signature shown by help()) are made. call_method runs the first steps
// of every method: refuse a process that did not make the object, bind the
// arguments, then borrow the object (shared for most methods, exclusive for
// close-like ones) for the rest of the call. Use only with the interpreter
// lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "python/arguments.h"
#include "python/borrow_flag.h"
#include "python/errors.h"

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

// Refuses a call in a process other than `Object::owner`'s, binds the
// arguments (vectorcall convention), takes a borrow of kind `kind` on
// `Object::borrow`, and returns body(object, bound); C++ exceptions become
// Python ones (guarded).
template <typename Object, BorrowKind kind, std::size_t N, typename Body>
PyObject* call_method(const Method<N>& method, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return guarded([&]() -> PyObject* {
    Object& object = *reinterpret_cast<Object*>(self);
    if (!object.owner.check()) return nullptr;
    std::array<PyObject*, N> bound{};
    const ParameterList parameters{method.qualified_name, method.parameters.data(), N, N};
    if (!bind_arguments(parameters, args, nargs, kwnames, bound.data())) return nullptr;
    Borrow borrow(object.borrow, kind);
    if (!borrow.ok()) return nullptr;
    return body(object, bound);
  });
}

using FastcallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// One entry of a MethodTable: a method and the function that implements it.
struct MethodEntry {
  template <std::size_t N>
  MethodEntry(const Method<N>& method, FastcallFunction function) : name(method.name()), function(function) {
    doc = std::string(name) + "($self";
    for (const char* parameter : method.parameters) doc.append(", ").append(parameter);
    doc += ")\n--\n\n";
  }

  const char* name;
  FastcallFunction function;
  std::string doc;  // the text signature shown by help() and inspect
};

// The PyMethodDef table of a class, built in place once and kept for the
// process: its entries point into the table's own texts, so it can be neither
// copied nor moved.
class MethodTable {
 public:
  MethodTable(std::initializer_list<MethodEntry> entries) {
    docs_.reserve(entries.size());
    defs_.reserve(entries.size() + 1);
    for (const MethodEntry& entry : entries) {
      docs_.push_back(entry.doc);
      defs_.push_back(PyMethodDef{entry.name,
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry.function)),
                                  METH_FASTCALL | METH_KEYWORDS, docs_.back().c_str()});
    }
    defs_.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  }
  MethodTable(const MethodTable&) = delete;
  MethodTable& operator=(const MethodTable&) = delete;

  // The table, ending in the terminating entry.
  PyMethodDef* defs() { return defs_.data(); }

 private:
  std::vector<std::string> docs_;  // not resized after construction: ml_doc points here
  std::vector<PyMethodDef> defs_;
};

}  // namespace quillmere::python
