// document_to_dict and build_document_list: the last step of every read,
// turning stored documents copied out of the store into Python objects. The
// general JSON dialect is parsed straight into objects (no intermediate tree);
// every dict gets its keys in ascending byte order and the last of repeated
// keys. Runs on the caller's thread with the interpreter lock held, after the
// store work has finished.
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "engine/row.h"

namespace quillmere::convert {

// Which messages a read reports conversion failures with.
enum class MessageSet {
  kGet,   // get, get_many: "Json parsing error {}", "Error while pythonizing {}"
  kScan,  // scan_prefix, filter_by_metadata: "Json Parse Error {}", "Pythonize Error {}"
};

// A new dict, or null with RuntimeError set.
PyObject* document_to_dict(std::string_view document, MessageSet messages);

// A list of (id, dict or None) tuples in row order, or null with the
// RuntimeError of the first row that fails. Rows are released as they go.
PyObject* build_document_list(std::vector<engine::Row>&& rows, MessageSet messages);

}  // namespace quillmere::convert
