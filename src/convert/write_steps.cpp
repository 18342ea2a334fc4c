#include "convert/write_steps.h"

#include "common/exit_waits.h"
#include "convert/dict_to_document.h"
#include "engine/row_limit.h"
#include "json/syntax_check.h"
#include "python/errors.h"
#include "python/extract.h"
#include "python/gil.h"

namespace quillmere::convert {
namespace {

// Whether the process waits for the writers before it ends; raises
// kShuttingDownText if so.
bool raise_if_shutting_down() {
  if (!ExitWaits::instance().finishing()) return false;
  python::raise_runtime_error(kShuttingDownText);
  return true;
}

}  // namespace

bool check_alive(const std::atomic<bool>& alive) {
  if (raise_if_shutting_down()) return false;
  if (alive.load(std::memory_order_seq_cst)) return true;
  python::raise_runtime_error(kCrashedText);
  return false;
}

PyObject* raise_for_document(std::string_view message, std::string_view id,
                             std::string_view error) {
  std::string text(message);
  text.append(id).append(".").append(error);
  return python::raise_runtime_error(text);
}

bool stored_document_of_dict(PyObject* payload, std::string_view id,
                             std::string_view conversion_message, std::string& document) {
  ConversionFailure failure;
  if (dict_to_document(payload, document, failure)) return true;
  if (failure.kind == ConversionFailure::Kind::kInterrupted) return false;  // already pending
  raise_for_document(failure.kind == ConversionFailure::Kind::kConversion
                         ? conversion_message
                         : "Failed to encode bytes for ",
                     id, failure.text);
  return false;
}

bool check_json_payload(std::string_view text, std::string_view id, std::string_view message) {
  Status valid = json::validate_json_text(text);
  if (valid.ok()) return true;
  raise_for_document(message, id, valid.message());
  return false;
}

bool check_row_fits(const store::Database& db, std::size_t id_size, std::size_t document_size) {
  Status fits = engine::check_row_limit(id_size, document_size, db.length_limit());
  if (fits.ok()) return true;
  python::raise_runtime_error(fits.message());
  return false;
}

bool send_write(const Sender<engine::WriteOp>& sender, engine::WriteOp op,
                std::string_view closed_prefix) {
  TrySendResult sent = sender.try_send(op);
  while (sent == TrySendResult::kFull) {
    sent = python::without_gil([&] { return sender.send_for(op, python::kSignalCheckInterval); });
    if (sent == TrySendResult::kFull && PyErr_CheckSignals() < 0) return false;
  }
  if (sent == TrySendResult::kSent) return true;
  if (!raise_if_shutting_down()) {
    python::raise_runtime_error(std::string(closed_prefix) + sender.closed_text());
  }
  return false;
}

std::optional<std::vector<Record>> extract_records(PyObject* records, PayloadType payload_type) {
  std::vector<Record> extracted;
  const bool ok = python::for_each_sequence_item(records, "records", [&](PyObject* item) {
    PyObject *id, *payload;
    if (!python::extract_pair(item, "records", &id, &payload)) return false;
    std::optional<std::string_view> id_text = python::extract_str(id, "records");
    if (!id_text) return false;
    const bool payload_ok = payload_type == PayloadType::kDict
                                ? python::extract_dict(payload, "records") != nullptr
                                : python::extract_str(payload, "records").has_value();
    if (!payload_ok) return false;
    extracted.push_back(Record{std::string(*id_text), python::PyRef::borrow(payload)});
    return true;
  });
  if (!ok) return std::nullopt;
  return extracted;
}

std::string_view str_payload(const Record& record) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(record.payload.get(), &size);
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace quillmere::convert
