// The bodies of the methods that DBEngine and DBEngineWebServer share, run
// after the arguments are bound and the object is borrowed. `Fields` is an
// engine's field struct; its class file provides, found by argument-
// dependent lookup: `bool check_alive(const Fields&)`, `bool queue(Fields&,
// engine::WriteOp)` (each raising on failure), and a member
// `std::shared_ptr<store::Database> db`. A write the store could not hold is
// refused before it is queued. Use only with the interpreter lock held; the
// reads release it for their store work.
#pragma once

#include <Python.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/document_to_dict.h"
#include "convert/write_steps.h"
#include "engine/reads.h"
#include "engine/write_op.h"
#include "python/errors.h"
#include "python/extract.h"
#include "python/gil.h"
#include "python/ref.h"

namespace quillmere::convert {

using Bound1 = std::array<PyObject*, 1>;
using Bound2 = std::array<PyObject*, 2>;

// insert and upsert: (id, payload dict), queued as `kind`.
template <typename Fields>
PyObject* write_dict(Fields& fields, Bound2& bound, engine::WriteOp::Kind kind) {
  std::optional<std::string_view> id = python::extract_str(bound[0], "id");
  if (!id) return nullptr;
  PyObject* payload = python::extract_dict(bound[1], "payload");
  if (payload == nullptr || !check_alive(fields)) return nullptr;
  engine::WriteOp op{kind, std::string(*id), {}};
  if (!stored_document_of_dict(payload, *id, "Error converting dict to Rust bytes for ",
                               op.payload) ||
      !check_row_fits(*fields.db, op.id.size(), op.payload.size())) {
    return nullptr;
  }
  return queue(fields, std::move(op)) ? python::none() : nullptr;
}

// insert_json: (id, json_payload), the text stored as it is.
template <typename Fields>
PyObject* write_json(Fields& fields, Bound2& bound) {
  std::optional<std::string_view> id = python::extract_str(bound[0], "id");
  if (!id) return nullptr;
  std::optional<std::string_view> text = python::extract_str(bound[1], "json_payload");
  if (!text || !check_alive(fields)) return nullptr;
  if (!check_json_payload(*text, *id, "Validation error at ") ||
      !check_row_fits(*fields.db, id->size(), text->size())) {
    return nullptr;
  }
  engine::WriteOp op{engine::WriteOp::Kind::kInsert, std::string(*id), std::string(*text)};
  return queue(fields, std::move(op)) ? python::none() : nullptr;
}

// delete: (id).
template <typename Fields>
PyObject* write_delete(Fields& fields, Bound1& bound) {
  std::optional<std::string_view> id = python::extract_str(bound[0], "id");
  if (!id || !check_alive(fields) || !check_row_fits(*fields.db, id->size(), 0)) return nullptr;
  return queue(fields, engine::WriteOp{engine::WriteOp::Kind::kDelete, std::string(*id), {}})
             ? python::none()
             : nullptr;
}

// get: (id); the document's dict or None. The read holds its own reference
// to the store for the work done without the interpreter lock.
template <typename Fields>
PyObject* read_one(const Fields& fields, Bound1& bound, Reading reading) {
  std::optional<std::string_view> id = python::extract_str(bound[0], "id");
  if (!id) return nullptr;
  std::shared_ptr<store::Database> db = fields.db;
  Result<std::optional<std::string>> document =
      python::without_gil([&] { return engine::read_document(*db, *id); });
  if (!document.ok()) return python::raise_runtime_error(document.error());
  if (!document.value()) return python::none();
  return document_to_dict(*document.value(), reading);
}

// get_many: (ids); one (id, dict or None) per id, in order.
template <typename Fields>
PyObject* read_many(const Fields& fields, Bound1& bound, Reading reading) {
  std::optional<std::vector<std::string>> ids = python::extract_str_sequence(bound[0], "ids");
  if (!ids) return nullptr;
  std::shared_ptr<store::Database> db = fields.db;
  return read_document_list([&] { return engine::read_documents(*db, *ids); }, reading);
}

// scan_prefix: (prefix); the documents whose ids begin with it, by id.
template <typename Fields>
PyObject* read_prefix(const Fields& fields, Bound1& bound, Reading reading) {
  std::optional<std::string_view> prefix = python::extract_str(bound[0], "prefix");
  if (!prefix) return nullptr;
  std::shared_ptr<store::Database> db = fields.db;
  return read_document_list([&] { return engine::read_prefix(*db, *prefix); }, reading);
}

}  // namespace quillmere::convert
