// Python exceptions at the edge: raising the engine's failures, the binding
// layer's type errors with their parameter note, and turning a pending Python
// exception into text. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere::python {

// Sets RuntimeError(message) as the pending exception; returns null, the
// result of a function that raised.
PyObject* raise_runtime_error(std::string_view message);

// The qualified name of an object's type, e.g. "int" or "Outer.Inner".
std::string type_name_of(PyObject* object);

// "'{type}' object is not an instance of '{wanted}'"; for None
// "'None' is not an instance of '{wanted}'".
std::string cast_error_text(PyObject* object, std::string_view wanted);

// Raises TypeError(message) carrying the note "while processing '{parameter}'".
void raise_argument_type_error(std::string_view message, const char* parameter);

// Whether the pending exception is no Exception (KeyboardInterrupt,
// SystemExit and the like): the caller's code was stopped, not refused, so
// such an exception propagates unchanged, never noted or reported as a
// failure. False when nothing is pending.
bool pending_error_is_interruption();

// Adds the note "while processing '{parameter}'" to the pending exception,
// unless it is an interruption.
void note_pending_error(const char* parameter);

// Takes the pending exception and returns "{type}: {message}" (the
// exception's type name, a colon, a blank, str() of the exception). Nothing
// when the pending exception is an interruption, or when reading its text
// raised one: that one is left pending.
std::optional<std::string> take_error_text();

// Runs `body` (returning a new reference or null with the error set) and
// turns a C++ exception escaping it into a Python one, so that none reaches
// the interpreter: MemoryError for a failed allocation or a size no
// container can hold, RuntimeError with its text for any other. Not
// noexcept: a thread ended by the finalizing interpreter unwinds through it.
template <typename Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    return raise_runtime_error(error.what());
  }
}

}  // namespace quillmere::python
