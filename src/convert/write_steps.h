// The steps that the write methods of both engine classes share between
// extracting their arguments and queueing: the `alive` check, turning a dict
// or a JSON text into the stored document of a WriteOp, the bulk inserts'
// record extraction, and the send with its queue-closed message. Each raises
// the engine's RuntimeError and returns false (or nothing) on failure. Use
// only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/channel.h"
#include "engine/write_op.h"
#include "python/ref.h"
#include "store/database.h"

namespace quillmere::convert {

// Raised by every write once the engine's writer has ended.
inline constexpr const char* kCrashedText = "Background write worker has crashed!";
// Raised by every write once the process has begun to wait for the writers
// before it ends: a write queued later would not be waited for. Also what a
// queue closed by that wait refuses sends with.
inline constexpr const char* kShuttingDownText =
    "The interpreter is shutting down: the engine no longer takes writes";
// Begins what close_engine raises when a background thread failed; the
// failure's text follows.
inline constexpr const char* kPanickedPrefix = "Background writer panicked during shut down: ";

// Raises kShuttingDownText once the process waits for the writers, and
// kCrashedText once the engine's writer has ended.
bool check_alive(const std::atomic<bool>& alive);

// Raises "{message}{id}.{error}", the form of every per-document message;
// returns null.
PyObject* raise_for_document(std::string_view message, std::string_view id,
                             std::string_view error);

// Writes the stored document of a dict payload into `document`. A dict that
// cannot become JSON raises "{conversion_message}{id}.{error}"; a failure to
// write the JSON raises "Failed to encode bytes for {id}.{error}"; an
// interruption of the caller's code propagates as it was raised.
bool stored_document_of_dict(PyObject* payload, std::string_view id,
                             std::string_view conversion_message, std::string& document);

// Checks a JSON text payload; an invalid one raises "{message}{id}.{error}"
// with the checker's "{reason} at line {l} column {c}".
bool check_json_payload(std::string_view text, std::string_view id, std::string_view message);

// Refuses a write whose rows the store could not hold (engine::check_row_limit).
bool check_row_fits(const store::Database& db, std::size_t id_size, std::size_t document_size);

// Sends `op`. A full queue is waited on without the interpreter lock, so
// that the program's other threads go on (one of them may hold what the
// writer waits for), and pending signals are handled every
// python::kSignalCheckInterval: a signal handler's exception is raised with `op`
// not queued. A closed queue raises "{closed_prefix}{channel text}", or
// kShuttingDownText when the process waits for the writers.
bool send_write(const Sender<engine::WriteOp>& sender, engine::WriteOp op,
                std::string_view closed_prefix);

// A record of a bulk insert: its id and its payload object (a dict or a str).
struct Record {
  std::string id;
  python::PyRef payload;
};

enum class PayloadType { kDict, kStr };

// Extracts every (id, payload) tuple of `records` before anything is
// converted or queued; the binding layer's errors name "records".
std::optional<std::vector<Record>> extract_records(PyObject* records, PayloadType payload_type);

// The UTF-8 text of a str payload that extract_records accepted.
std::string_view str_payload(const Record& record);

}  // namespace quillmere::convert
