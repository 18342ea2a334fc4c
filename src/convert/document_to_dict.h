// document_to_dict and build_document_list: the last step of every read,
// turning stored documents copied out of the store into Python objects. The
// general JSON dialect is parsed straight into objects (no intermediate tree);
// every dict gets its keys in ascending byte order and the last of repeated
// keys. Runs on the caller's thread with the interpreter lock held, after the
// store work has finished.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>
#include <vector>

#include "common/status.h"
#include "engine/row.h"
#include "json/parser.h"
#include "python/errors.h"
#include "python/gil.h"

namespace quillmere::convert {

// Which messages a read reports conversion failures with.
enum class MessageSet {
  kGet,   // get, get_many: "Json parsing error {}", "Error while pythonizing {}"
  kScan,  // scan_prefix, filter_by_metadata: "Json Parse Error {}", "Pythonize Error {}"
};

// How a read parses stored documents: the set of messages it fails with, and
// the JSON dialect (with its number rules and error text). Either dialect
// refuses more than json::kMaxOpenContainers levels of nesting.
struct Reading {
  MessageSet messages;
  json::Dialect dialect = json::Dialect::kGeneral;
};

// A new dict, or null with RuntimeError set.
PyObject* document_to_dict(std::string_view document, Reading reading);

// A list of (id, dict or None) tuples in row order, or null with the
// RuntimeError of the first row that fails. Rows are released as they go.
PyObject* build_document_list(std::vector<engine::Row>&& rows, Reading reading);

// The document list of the rows that `work` copies out of the store, run
// with the interpreter lock released; a store failure raises its text.
template <typename StoreWork>
PyObject* read_document_list(StoreWork&& work, Reading reading) {
  Result<std::vector<engine::Row>> rows = python::without_gil(std::forward<StoreWork>(work));
  if (!rows.ok()) return python::raise_runtime_error(rows.error());
  return build_document_list(std::move(rows.value()), reading);
}

}  // namespace quillmere::convert
