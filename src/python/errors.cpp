#include "python/errors.h"

#include "python/ref.h"

namespace quillmere::python {
namespace {

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

void add_note(PyObject* exception, const std::string& note) {
  PyRef result = PyRef::steal(PyObject_CallMethod(exception, "add_note", "s#", note.data(),
                                                  static_cast<Py_ssize_t>(note.size())));
  if (!result) PyErr_Clear();  // a note is a courtesy; the original error matters
}

std::string parameter_note(const char* parameter) {
  return std::string("while processing '") + parameter + "'";
}

}  // namespace

PyObject* raise_runtime_error(std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
  return nullptr;
}

std::string type_name_of(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  return utf8_of(name.get());
}

std::string cast_error_text(PyObject* object, std::string_view wanted) {
  std::string text = "'";
  text += object == Py_None ? "None' is" : type_name_of(object) + "' object is";
  text += " not an instance of '";
  text += wanted;
  text += "'";
  return text;
}

void raise_argument_type_error(std::string_view message, const char* parameter) {
  PyRef exception = PyRef::steal(PyObject_CallFunction(
      PyExc_TypeError, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!exception) return;
  add_note(exception.get(), parameter_note(parameter));
  PyErr_SetObject(PyExc_TypeError, exception.get());
}

bool pending_error_is_interruption() {
  return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception);
}

void note_pending_error(const char* parameter) {
  if (pending_error_is_interruption()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) add_note(value, parameter_note(parameter));
  PyErr_Restore(type, value, traceback);
}

std::optional<std::string> take_error_text() {
  if (pending_error_is_interruption()) return std::nullopt;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  if (!owned_value) return "unknown error";
  PyRef message = PyRef::steal(PyObject_Str(owned_value.get()));
  if (!message && pending_error_is_interruption()) return std::nullopt;
  return type_name_of(owned_value.get()) + ": " + utf8_of(message.get());
}

}  // namespace quillmere::python
