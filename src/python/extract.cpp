#include "python/extract.h"

#include <algorithm>

#include "python/errors.h"
#include "python/ref.h"

namespace quillmere::python {

std::optional<std::string_view> extract_str(PyObject* value, const char* parameter) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type_error(cast_error_text(value, "str"), parameter);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    note_pending_error(parameter);
    return std::nullopt;
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

bool extract_optional_str(PyObject* value, const char* parameter,
                          std::optional<std::string_view>& out) {
  out.reset();
  if (value == nullptr || value == Py_None) return true;
  out = extract_str(value, parameter);
  return out.has_value();
}

bool extract_optional_size(PyObject* value, const char* parameter,
                           std::optional<std::uint64_t>& out) {
  out.reset();
  if (value == Py_None) return true;
  PyRef integer = PyRef::steal(PyNumber_Index(value));
  const unsigned long long size = integer ? PyLong_AsUnsignedLongLong(integer.get()) : 0;
  if (!integer || (size == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
    note_pending_error(parameter);
    return false;
  }
  out = size;
  return true;
}

std::optional<bool> extract_bool(PyObject* value, const char* parameter, bool absent) {
  if (value == nullptr) return absent;
  if (PyBool_Check(value)) return value == Py_True;
  raise_argument_type_error(cast_error_text(value, "bool"), parameter);
  return std::nullopt;
}

PyObject* extract_dict(PyObject* value, const char* parameter) {
  if (PyDict_Check(value)) return value;
  raise_argument_type_error(cast_error_text(value, "dict"), parameter);
  return nullptr;
}

bool for_each_sequence_item(PyObject* value, const char* parameter,
                            const std::function<bool(PyObject* item)>& visit) {
  if (PyUnicode_Check(value)) {
    raise_argument_type_error("Can't extract `str` to `Vec`", parameter);
    return false;
  }
  if (!PySequence_Check(value)) {
    raise_argument_type_error(cast_error_text(value, "Sequence"), parameter);
    return false;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) {
    note_pending_error(parameter);
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!visit(item.get())) return false;
  }
  if (PyErr_Occurred()) {
    note_pending_error(parameter);
    return false;
  }
  return true;
}

std::optional<std::vector<std::string>> extract_str_sequence(PyObject* value,
                                                             const char* parameter) {
  std::vector<std::string> texts;
  const Py_ssize_t size_hint = PySequence_Check(value) ? PySequence_Size(value) : -1;
  // The reported length is only a hint (any __len__ may claim 2**40 items,
  // or fail): room for more is made as items arrive. An interruption while
  // it is read still ends the call.
  constexpr Py_ssize_t kMostReserved = 65536;
  if (size_hint > 0) texts.reserve(static_cast<std::size_t>(std::min(size_hint, kMostReserved)));
  if (size_hint < 0) {
    if (pending_error_is_interruption()) return std::nullopt;
    PyErr_Clear();
  }
  const bool ok = for_each_sequence_item(value, parameter, [&](PyObject* item) {
    std::optional<std::string_view> text = extract_str(item, parameter);
    if (!text) return false;
    texts.emplace_back(*text);
    return true;
  });
  if (!ok) return std::nullopt;
  return texts;
}

bool extract_pair(PyObject* value, const char* parameter, PyObject** first, PyObject** second) {
  if (!PyTuple_Check(value)) {
    raise_argument_type_error(cast_error_text(value, "tuple"), parameter);
    return false;
  }
  const Py_ssize_t size = PyTuple_Size(value);
  if (size != 2) {
    const std::string message =
        "expected tuple of length 2, but got tuple of length " + std::to_string(size);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    note_pending_error(parameter);
    return false;
  }
  *first = PyTuple_GetItem(value, 0);
  *second = PyTuple_GetItem(value, 1);
  return true;
}

}  // namespace quillmere::python
