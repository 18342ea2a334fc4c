// The audit log thread of a DBEngineWebServer: it appends one JSON line per
// logged document change to a ".jsonl" file, which is never truncated. The
// engine's constructor opens the file (open_audit_log); the write methods
// send LogOp records on the log channel (any thread); the log thread alone
// writes the file, through that descriptor. It ends at a Shutdown or a
// disconnection after flushing, or as a crash when the file could not be
// opened or cannot be written; on every way out it clears `alive` and
// releases the receiver.
//
// One line, bytes exactly as below, "\n" at the end:
//
//   {"timestamp": "<time>", "action": <action>, "id": <id>}
//
// <time> is the local time of the record in RFC 3339 (LocalTimestamps), as it
// is; a change of the zone shows within a second.
// <action> and <id> are JSON strings written as stored documents write them
// (json::append_json_string: only '"', '\\' and control characters are
// escaped), so any id gives one valid JSON line; an id without such bytes
// reads "<id>". A line that an earlier engine left cut (the file could not
// grow) is ended with "\n" before the first record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/channel.h"
#include "common/file_descriptor.h"
#include "common/status.h"
#include "common/worker_thread.h"
#include "db_engine_web_server/counters.h"

namespace quillmere::db_engine_web_server {

// Buffer of the log file; lines reach the system when it fills and at the end.
inline constexpr std::size_t LOG_BUFFER_SIZE = 8192;

inline constexpr std::string_view kInsertAction = "INSERT";
inline constexpr std::string_view kDeleteAction = "DELETE";
inline constexpr std::string_view kUpsertAction = "UPSERT";

// One record on the log channel. An Entry logs one id; a Batch logs its ids
// in order under one time stamp and takes one place in the channel whatever
// its size. Records behind a Shutdown are discarded.
struct LogOp {
  enum class Kind : std::uint8_t { kEntry, kBatch, kShutdown };

  static LogOp entry(std::string_view action, std::string id) {
    LogOp op{Kind::kEntry, action, {}};
    op.ids.push_back(std::move(id));
    return op;
  }
  static LogOp batch(std::string_view action, std::vector<std::string> ids) {
    return LogOp{Kind::kBatch, action, std::move(ids)};
  }
  static LogOp shutdown() { return LogOp{}; }

  Kind kind = Kind::kShutdown;
  std::string_view action;  // one of the k*Action texts (static storage)
  std::vector<std::string> ids;
};

// Opens the log file at `path` for appending (created with mode 0666 less
// the umask), for reading too where the file allows it (to find a cut last
// line); only a regular file of one name (FileDescriptor::open_regular).
// Fails with "I/O error: {system text} (os error {n})" or open_regular's
// refusal after "I/O error: ".
Result<std::shared_ptr<FileDescriptor>> open_audit_log(const std::string& path);

// Starts the log thread on what open_audit_log gave: the file, or the
// failure to open it, which clears `alive` and is noted before the thread
// starts, and is the thread's crash at once. Fails only when the thread
// cannot start.
Result<WorkerThread> start_log_thread(Receiver<LogOp> channel,
                                      Result<std::shared_ptr<FileDescriptor>> file,
                                      std::shared_ptr<Counters> counters);

}  // namespace quillmere::db_engine_web_server
