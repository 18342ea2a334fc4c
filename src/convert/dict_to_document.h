// dict_to_document: turns a Python dict into a stored document in canonical
// form: compact JSON with the members of every object in ascending byte order
// of their UTF-8 keys. Runs on the caller's thread with the interpreter lock
// held; walks the payload with an explicit stack, guarded by the
// interpreter's recursion limit, so no payload can exhaust the C stack.
#pragma once

#include <Python.h>

#include <string>

namespace quillmere::convert {

struct ConversionFailure {
  // kConversion: a Python object could not become JSON; kSerialization: the
  // JSON could not be written (memory exhausted); kInterrupted: the caller's
  // code raised an exception that is no Exception (python::
  // pending_error_is_interruption), which stays pending as it was raised.
  enum class Kind { kConversion, kSerialization, kInterrupted };
  Kind kind;
  std::string text;  // empty for kInterrupted
};

// Writes the stored document of `payload` into `out` (replacing its content).
// On failure returns false and fills `failure`; no Python error is left set
// but an interruption.
bool dict_to_document(PyObject* payload, std::string& out, ConversionFailure& failure);

}  // namespace quillmere::convert
