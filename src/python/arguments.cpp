#include "python/arguments.h"

#include <string>
#include <vector>

#include "python/ref.h"

namespace quillmere::python {
namespace {

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::string callee(const ParameterList& parameters) {
  return std::string(parameters.function) + "()";
}

bool raise_too_many_positional(const ParameterList& parameters, Py_ssize_t given) {
  raise_type_error(callee(parameters) + " takes " + std::to_string(parameters.count) +
                   " positional argument" + (parameters.count == 1 ? "" : "s") + " but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  return false;
}

// Places one keyword argument; false (error set) for an unknown or repeated name.
bool bind_keyword(const ParameterList& parameters, PyObject* name, PyObject* value,
                  PyObject** bound) {
  for (std::size_t i = 0; i < parameters.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, parameters.names[i]) != 0) continue;
    if (bound[i] != nullptr) {
      raise_type_error(callee(parameters) + " got multiple values for argument '" +
                       parameters.names[i] + "'");
      return false;
    }
    bound[i] = value;
    return true;
  }
  PyRef text = PyRef::steal(PyObject_Str(name));
  const char* shown = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (shown == nullptr) return false;
  raise_type_error(callee(parameters) + " got an unexpected keyword argument '" + shown + "'");
  return false;
}

bool check_all_bound(const ParameterList& parameters, PyObject** bound) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < parameters.required; ++i) {
    if (bound[i] == nullptr) missing.push_back(parameters.names[i]);
  }
  if (missing.empty()) return true;
  std::string message = callee(parameters) + " missing " + std::to_string(missing.size()) +
                        " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) {
      if (missing.size() > 2) message += ',';
      message += (i + 1 == missing.size()) ? " and " : " ";
    }
    message += std::string("'") + missing[i] + "'";
  }
  raise_type_error(message);
  return false;
}

}  // namespace

bool bind_arguments(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  if (static_cast<std::size_t>(nargs) > parameters.count) {
    return raise_too_many_positional(parameters, nargs);
  }
  for (std::size_t i = 0; i < parameters.count; ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      if (!bind_keyword(parameters, PyTuple_GetItem(kwnames, k), args[nargs + k], bound)) {
        return false;
      }
    }
  }
  return check_all_bound(parameters, bound);
}

bool bind_arguments(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                    PyObject** bound) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (static_cast<std::size_t>(nargs) > parameters.count) {
    return raise_too_many_positional(parameters, nargs);
  }
  for (std::size_t i = 0; i < parameters.count; ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GetItem(args, i) : nullptr;
  }
  if (kwargs != nullptr) {
    PyObject *name, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(parameters, name, value, bound)) return false;
    }
  }
  return check_all_bound(parameters, bound);
}

}  // namespace quillmere::python
