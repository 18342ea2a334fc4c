// Connection: one SQLite connection to the database file together with its
// prepared statements, each prepared on first use and reused until the
// connection closes. Opened without SQLite's mutex, so one thread at a time
// uses a Connection: the writer, or the reader that took it from the pool.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/status.h"

namespace quillmere::store {

// Pairs added to "metadata_index" by one kInsertIndexChunk statement.
inline constexpr std::size_t kIndexChunkPairs = 32;

// The statements the store runs; each connection prepares the ones it uses.
enum class Sql {
  kBegin,
  kBeginImmediate,
  kCommit,
  kRollback,
  kPutDocument,
  kRemoveDocument,
  kInsertIndex,
  kInsertIndexChunk,
  kRemoveIndex,
  kGetDocument,
  kScanDocuments,
  kScanIndex,
  kScanIndexDocuments,
  kScanIndexPairs,
  kScanIndexPage,
  kTouchSnapshot,
  kCheckTables,
  kCount,
};

class Connection {
 public:
  // `flags` are sqlite3_open_v2 flags; SQLITE_OPEN_NOMUTEX is added. Fails
  // with error_text()'s form of SQLite's text.
  static Result<std::unique_ptr<Connection>> open(const std::string& path, int flags);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* handle() const { return db_; }
  bool in_transaction() const { return sqlite3_get_autocommit(db_) == 0; }
  // SQLite's text for the last failure on this connection; when SQLite could
  // not open a file ("unable to open database file"), followed by ": " and
  // the system's reason, "{system text} (os error {n})".
  std::string error_text() const;

  // Runs SQL text once, without keeping a statement (set-up and schema).
  Status exec(const char* sql);
  // The prepared statement for `which`, prepared on first use. Null on
  // failure, with the reason in error_text().
  sqlite3_stmt* statement(Sql which);
  // Runs a prepared statement that takes no parameters and returns no rows.
  Status run(Sql which);

 private:
  explicit Connection(sqlite3* db) : db_(db) {}

  // Constant after construction.
  sqlite3* const db_;

 public:
  // For a reader: the count of commits its open read transaction has seen.
  std::uint64_t snapshot_commits = 0;

 private:
  // Filled lazily by statement(); finalized by the destructor.
  std::array<sqlite3_stmt*, static_cast<size_t>(Sql::kCount)> statements_{};
};

// Resets a statement and clears its bindings when the scope ends, so the
// next use starts clean and no bound pointer outlives the caller's buffer.
class StatementScope {
 public:
  explicit StatementScope(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementScope() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  StatementScope(const StatementScope&) = delete;
  StatementScope& operator=(const StatementScope&) = delete;

 private:
  sqlite3_stmt* const statement_;
};

// Bind without copying (the caller's bytes must live until the statement is
// reset) and with the exact byte length, so NUL bytes are kept. Return the
// SQLite result code.
int bind_text(sqlite3_stmt* statement, int index, std::string_view text);
int bind_blob(sqlite3_stmt* statement, int index, std::string_view bytes);

// Column bytes of the current row, valid until the next step or reset.
std::string_view column_text(sqlite3_stmt* statement, int index);
std::string_view column_blob(sqlite3_stmt* statement, int index);

}  // namespace quillmere::store
