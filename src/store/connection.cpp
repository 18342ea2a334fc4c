#include "store/connection.h"

#include <array>
#include <string_view>

#include "common/io_error.h"

namespace quillmere::store {
namespace {

constexpr const char* kSqlText[] = {
    /* kBegin */ "BEGIN",
    /* kBeginImmediate */ "BEGIN IMMEDIATE",
    /* kCommit */ "COMMIT",
    /* kRollback */ "ROLLBACK",
    /* kPutDocument */ "INSERT OR REPLACE INTO documents(id, body) VALUES (?1, ?2)",
    /* kRemoveDocument */ "DELETE FROM documents WHERE id = ?1 RETURNING body",
    /* kInsertIndex */ "INSERT OR IGNORE INTO metadata_index(entry, id) VALUES (?1, ?2)",
    /* kInsertIndexChunk */ nullptr,  // built from kIndexChunkPairs
    /* kRemoveIndex */ "DELETE FROM metadata_index WHERE entry = ?1 AND id = ?2",
    /* kGetDocument */ "SELECT body FROM documents WHERE id = ?1",
    /* kScanDocuments */ "SELECT id, body FROM documents WHERE id >= ?1 ORDER BY id",
    /* kScanIndex */ "SELECT id FROM metadata_index WHERE entry = ?1 ORDER BY id",
    /* kScanIndexDocuments */
    "SELECT m.id, d.body FROM metadata_index AS m JOIN documents AS d ON d.id = m.id"
    " WHERE m.entry = ?1 ORDER BY m.id",
    /* kScanIndexPairs */ "SELECT entry, id FROM metadata_index ORDER BY entry, id",
    // Limit and offset count index ids; the join then drops stale ones, and
    // only the page's own documents are read.
    /* kScanIndexPage */
    "SELECT m.id, d.body FROM (SELECT id FROM metadata_index WHERE entry = ?1 ORDER BY id"
    " LIMIT ?2 OFFSET ?3) AS m JOIN documents AS d ON d.id = m.id ORDER BY m.id",
    // Any read of the file starts the snapshot of a deferred transaction.
    /* kTouchSnapshot */ "SELECT 1 FROM documents LIMIT 1",
    // Stepped in every write transaction: a statement prepared earlier is
    // checked against the schema only when it runs.
    /* kCheckTables */ "SELECT 1 FROM documents, metadata_index LIMIT 0",
};
static_assert(std::size(kSqlText) == static_cast<size_t>(Sql::kCount));

// SQLite's text for the last failure of `db`, with the system's reason when a
// file could not be opened: SQLite's text alone does not tell a missing
// folder from a process out of descriptors.
std::string failure_text(sqlite3* db) {
  std::string text = sqlite3_errmsg(db);
  if ((sqlite3_extended_errcode(db) & 0xff) == SQLITE_CANTOPEN) {
    if (const int error = sqlite3_system_errno(db); error != 0) text += ": " + os_error_text(error);
  }
  return text;
}

// sqlite3_bind_* with a null pointer binds SQL NULL, even for length 0.
const char* non_null(std::string_view bytes) { return bytes.data() ? bytes.data() : ""; }

}  // namespace

Result<std::unique_ptr<Connection>> Connection::open(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string text = db ? failure_text(db) : sqlite3_errstr(rc);
    sqlite3_close(db);
    return Status::Error(std::move(text));
  }
  sqlite3_extended_result_codes(db, 1);
  return std::unique_ptr<Connection>(new Connection(db));
}

Connection::~Connection() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  // Every statement is finalized, so the close cannot be refused as busy.
  sqlite3_close(db_);
}

std::string Connection::error_text() const { return failure_text(db_); }

Status Connection::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    return Status::Error(error_text());
  }
  return Status::Ok();
}

// "INSERT OR IGNORE INTO metadata_index(entry, id) VALUES (?, ?), (?, ?), ...",
// made at compile time: writers still prepare statements while the process
// exits, after static objects with destructors are gone.
constexpr auto kIndexChunkSql = [] {
  constexpr std::string_view head = "INSERT OR IGNORE INTO metadata_index(entry, id) VALUES (?, ?)";
  constexpr std::string_view more = ", (?, ?)";
  std::array<char, head.size() + (kIndexChunkPairs - 1) * more.size() + 1> sql{};
  std::size_t end = 0;
  for (char c : head) sql[end++] = c;
  for (std::size_t i = 1; i < kIndexChunkPairs; ++i) {
    for (char c : more) sql[end++] = c;
  }
  return sql;  // zero-filled, so ending in NUL
}();

sqlite3_stmt* Connection::statement(Sql which) {
  sqlite3_stmt*& slot = statements_[static_cast<size_t>(which)];
  if (slot == nullptr) {
    const char* sql = which == Sql::kInsertIndexChunk ? kIndexChunkSql.data()
                                                      : kSqlText[static_cast<size_t>(which)];
    sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr);
  }
  return slot;
}

Status Connection::run(Sql which) {
  sqlite3_stmt* stmt = statement(which);
  if (stmt == nullptr) return Status::Error(error_text());
  StatementScope scope(stmt);
  if (sqlite3_step(stmt) != SQLITE_DONE) return Status::Error(error_text());
  return Status::Ok();
}

int bind_text(sqlite3_stmt* statement, int index, std::string_view text) {
  return sqlite3_bind_text64(statement, index, non_null(text), text.size(), SQLITE_STATIC,
                             SQLITE_UTF8);
}

int bind_blob(sqlite3_stmt* statement, int index, std::string_view bytes) {
  return sqlite3_bind_blob64(statement, index, non_null(bytes), bytes.size(), SQLITE_STATIC);
}

// The pointer is fetched before the length, as SQLite asks, so a type
// conversion cannot invalidate the length.
std::string_view column_text(sqlite3_stmt* statement, int index) {
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
  size_t size = static_cast<size_t>(sqlite3_column_bytes(statement, index));
  return data ? std::string_view(data, size) : std::string_view();
}

std::string_view column_blob(sqlite3_stmt* statement, int index) {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, index));
  size_t size = static_cast<size_t>(sqlite3_column_bytes(statement, index));
  return data ? std::string_view(data, size) : std::string_view();
}

}  // namespace quillmere::store
