// PyRef: an owned (strong) reference to a Python object, released when the
// PyRef goes away. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace quillmere::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. after a failed call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller (e.g. as a function's result).
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// A new reference to None, the result of a method that returns nothing.
inline PyObject* none() { Py_RETURN_NONE; }

}  // namespace quillmere::python
