// The first steps of every method of a native class: bind the call's
// arguments to the method's parameters, then borrow the object (shared for
// most methods, exclusive for close-like ones) for the rest of the call. Use
// only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "python/arguments.h"
#include "python/borrow_flag.h"

namespace quillmere::python {

// A method's name as shown in messages ("DBEngine.insert") and its required
// positional-or-keyword parameters.
template <std::size_t N>
struct Method {
  const char* name;
  std::array<const char*, N> parameters;
};

// Binds the arguments (vectorcall convention), takes a borrow of type
// `Borrow` on `Object::borrow`, and returns body(object, bound).
template <typename Object, typename Borrow, std::size_t N, typename Body>
PyObject* call_method(const Method<N>& method, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  std::array<PyObject*, N> bound{};
  const ParameterList parameters{method.name, method.parameters.data(), N};
  if (!bind_arguments(parameters, args, nargs, kwnames, bound.data())) return nullptr;
  Object& object = *reinterpret_cast<Object*>(self);
  Borrow borrow(object.borrow);
  if (!borrow.ok()) return nullptr;
  return body(object, bound);
}

}  // namespace quillmere::python
