// Typed extraction of argument values. Every failure raises the binding
// layer's exception (TypeError "'{}' object is not an instance of '{}'",
// "Can't extract `str` to `Vec`", ValueError for a tuple of the wrong length,
// or the interpreter's own error) with the note "while processing
// '{parameter}'"; an interruption of the caller's code (KeyboardInterrupt,
// SystemExit) propagates unchanged. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::python {

// The UTF-8 text of a str; the view lives as long as `value`.
std::optional<std::string_view> extract_str(PyObject* value, const char* parameter);

// The text of a str, nothing for None or an absent (null) argument; false
// with the error set for anything else.
bool extract_optional_str(PyObject* value, const char* parameter,
                          std::optional<std::string_view>& out);

// A non-negative int (or an object with __index__) that fits 64 bits;
// nothing for None. A negative or too large value raises OverflowError.
bool extract_optional_size(PyObject* value, const char* parameter,
                           std::optional<std::uint64_t>& out);

// A bool, strictly (None and integers are refused); `absent` for a null
// argument.
std::optional<bool> extract_bool(PyObject* value, const char* parameter, bool absent);

// `value` itself when it is a dict (or subclass); null with the error set otherwise.
PyObject* extract_dict(PyObject* value, const char* parameter);

// Calls `visit` for every item of a sequence that is not a str, in order;
// stops with false when `visit` does (it must have set an error) or when
// iterating fails.
bool for_each_sequence_item(PyObject* value, const char* parameter,
                            const std::function<bool(PyObject* item)>& visit);

// A sequence of str, copied.
std::optional<std::vector<std::string>> extract_str_sequence(PyObject* value,
                                                             const char* parameter);

// The two items of a tuple of exactly two (borrowed; they live as long as it does).
bool extract_pair(PyObject* value, const char* parameter, PyObject** first, PyObject** second);

}  // namespace quillmere::python
