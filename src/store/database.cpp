#include "store/database.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "common/file_path.h"
#include "common/io_error.h"
#include "store/connection.h"
#include "store/file_lock.h"
#include "store/schema.h"
#include "store/sqlite_path.h"

namespace quillmere::store {
namespace {

// Idle reader connections kept for reuse; more are closed when returned.
constexpr size_t kMaxIdleReaders = 16;

// In WAL mode readers and the one writer never wait for each other; the
// timeout covers SQLite's short internal waits (WAL recovery, checkpoints).
constexpr const char* kBusyTimeoutPragma = "PRAGMA busy_timeout = 5000";
// Readers map the file: a page read then costs no system call and no copy,
// and the readers share the system's cache of the file instead of each
// filling a private one. The writer keeps to its own bounded cache, so a
// long bulk load does not map the whole file into the process.
constexpr const char* kReaderPragmas =
    "PRAGMA busy_timeout = 5000;"
    "PRAGMA mmap_size = 1073741824;";
constexpr const char* kNewFilePageSizePragma = "PRAGMA page_size = 16384";
constexpr const char* kWriterPragmas =
    "PRAGMA synchronous = FULL;"
    "PRAGMA cache_size = -65536;";  // 64 MiB of page cache

// The longest path SQLite's default file system layer builds.
std::size_t vfs_max_pathname() {
  const sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  return vfs != nullptr && vfs->mxPathname > 0 ? static_cast<std::size_t>(vfs->mxPathname) : 0;
}

// Refuses, before the file lock creates the file, a path that SQLite would
// not open as it resolves it.
Status check_sqlite_path(const std::string& path) {
  const SqlitePath resolved = resolve_as_sqlite(path, vfs_max_pathname());
  switch (resolved.verdict) {
    case SqlitePath::Verdict::kOpens:
      return Status::Ok();
    case SqlitePath::Verdict::kTooLong:
      return Status::Error("Database path too long: " + std::to_string(resolved.longest) +
                           " bytes as SQLite resolves it (absolute, links followed); SQLite "
                           "opens at most " +
                           std::to_string(Database::max_path_length()));
    case SqlitePath::Verdict::kAboveRoot:
      return Status::Error(std::string(kAboveRootText));
    case SqlitePath::Verdict::kFailed:
      break;
  }
  return Status::Error(io_error_text(resolved.error));
}

// Fails unless the connection SQLite opened by `path` is on the file `lock`
// holds. Checked after the open, since the name is followed when SQLite
// opens it: the name leads to the held file now, and the connection's file
// is the one the name leads to (SQLITE_FCNTL_HAS_MOVED compares them). An
// inode held open is never given to another file, so only a name switched
// away and back between the open and the check could pass unnoticed.
Status check_held_file(const std::string& path, const FileLock& lock, Connection* opened) {
  const std::optional<FileIdentity> now = identity_of_path(path);
  bool moved = false;
  if (opened != nullptr) {
    int has_moved = 0;
    moved = sqlite3_file_control(opened->handle(), "main", SQLITE_FCNTL_HAS_MOVED, &has_moved) ==
                SQLITE_OK &&
            has_moved != 0;
  }
  if (!now || *now != lock.identity() || moved) return Status::Error(replaced_file_text(path));
  return Status::Ok();
}

Status enable_wal(Connection& writer) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(writer.handle(), "PRAGMA journal_mode = WAL", -1, &stmt, nullptr) !=
      SQLITE_OK) {
    return Status::Error(writer.error_text());
  }
  Status status = Status::Ok();
  if (sqlite3_step(stmt) != SQLITE_ROW) {
    status = Status::Error(writer.error_text());
  } else if (column_text(stmt, 0) != "wal") {
    status = Status::Error("Cannot use WAL journal mode (journal mode is \"" +
                           std::string(column_text(stmt, 0)) + "\")");
  }
  sqlite3_finalize(stmt);
  return status;
}

Status configure_writer(Connection& writer) {
  if (Status status = writer.exec(kBusyTimeoutPragma); !status.ok()) return status;
  // Only a new, empty file takes it (and only before WAL mode): larger pages
  // make the many small index rows cheaper to insert.
  if (Status status = writer.exec(kNewFilePageSizePragma); !status.ok()) return status;
  if (Status status = enable_wal(writer); !status.ok()) return status;
  if (Status status = writer.exec(kWriterPragmas); !status.ok()) return status;
  return ensure_schema(writer);
}

Status step_error(Connection& connection) { return Status::Error(connection.error_text()); }

// Runs a write statement whose parameters are a text and a second value bound
// by `bind_second`, on the connection of a transaction that may have ended.
// A binding or step that gives `harmless` counts as done.
Status run_with_pair(Connection* connection, Sql which, std::string_view first,
                     std::string_view second,
                     int (*bind_second)(sqlite3_stmt*, int, std::string_view),
                     int harmless = SQLITE_DONE) {
  if (connection == nullptr) return Status::Error("write transaction has ended");
  sqlite3_stmt* stmt = connection->statement(which);
  if (stmt == nullptr) return step_error(*connection);
  StatementScope scope(stmt);
  int rc = bind_text(stmt, 1, first);
  if (rc == SQLITE_OK) rc = bind_second(stmt, 2, second);
  if (rc == SQLITE_OK) rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE || rc == harmless) return Status::Ok();
  return step_error(*connection);
}

// A deferred transaction takes its snapshot at its first read; this is one.
Status touch_snapshot(Connection& reader) {
  sqlite3_stmt* stmt = reader.statement(Sql::kTouchSnapshot);
  if (stmt == nullptr) return step_error(reader);
  StatementScope scope(stmt);
  const int rc = sqlite3_step(stmt);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? Status::Ok() : step_error(reader);
}

}  // namespace

// Members are declared so that destruction closes the reader pool, then the
// writer, and only then releases the file lock.
struct Database::Impl {
  Impl(FileLock file_lock, std::string path, std::unique_ptr<Connection> writer_connection)
      : lock_(std::move(file_lock)),
        path_(std::move(path)),
        writer_(std::move(writer_connection)),
        length_limit_(static_cast<std::uint64_t>(
            sqlite3_limit(writer_->handle(), SQLITE_LIMIT_LENGTH, -1))) {
    idle_readers_.reserve(kMaxIdleReaders);
  }

  Result<std::unique_ptr<Connection>> take_reader();
  void return_reader(std::unique_ptr<Connection> reader);

  // Constant after construction. The writer connection is used by one thread
  // at a time: the holder of the WriteTransaction.
  FileLock lock_;
  const std::string path_;  // absolute: SQLite opens every connection by it
  std::unique_ptr<Connection> writer_;
  const std::uint64_t length_limit_;

  // Commits made through the writer; a reader whose snapshot has seen them
  // all is up to date.
  std::atomic<std::uint64_t> commits_{0};

  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_readers_;  // guarded by mutex_
};

Result<std::unique_ptr<Connection>> Database::Impl::take_reader() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!idle_readers_.empty()) {
      std::unique_ptr<Connection> reader = std::move(idle_readers_.back());
      idle_readers_.pop_back();
      return reader;
    }
  }
  // Opened outside the mutex: other readers need not wait for the file.
  Result<std::unique_ptr<Connection>> reader = Connection::open(path_, SQLITE_OPEN_READONLY);
  // A file removed or replaced under the path is reported as such, also when
  // SQLite could not open what the path leads to now. A connection on another
  // file has not read it yet, so closing it changes nothing there.
  if (Status held = check_held_file(path_, lock_, reader.ok() ? reader.value().get() : nullptr);
      !held.ok()) {
    return held;
  }
  if (!reader.ok()) return reader;
  if (Status status = reader.value()->exec(kReaderPragmas); !status.ok()) return status;
  return reader;
}

void Database::Impl::return_reader(std::unique_ptr<Connection> reader) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (idle_readers_.size() < kMaxIdleReaders) idle_readers_.push_back(std::move(reader));
  // Otherwise `reader` closes when it goes out of scope, after the guard.
}

std::string replaced_file_text(const std::string& path) {
  return "Database file " + path + " was removed or replaced since the engine opened it";
}

std::size_t Database::max_path_length() { return sqlite_longest_path(vfs_max_pathname()); }

Result<std::shared_ptr<Database>> Database::open(const std::string& given_path,
                                                 std::span<const RefusedFile> refused) {
  // The one name of the file from here on: an absolute path is also one that
  // SQLite reads as a plain file name (not ":memory:" nor "file:...").
  Result<std::string> absolute = absolute_path(given_path);
  if (!absolute.ok()) return absolute.status();
  std::string path = std::move(absolute.value());
  if (Status status = check_sqlite_path(path); !status.ok()) return status;
  Result<FileLock> lock = FileLock::acquire(path);
  if (!lock.ok()) return lock.status();
  for (const RefusedFile& file : refused) {
    if (file.identity == lock.value().identity()) return Status::Error(file.reason);
  }
  // On any failure below, the writer closes before the lock is released
  // (locals are destroyed in reverse order).
  Result<std::unique_ptr<Connection>> writer =
      Connection::open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!writer.ok()) return writer.status();
  // Before SQLite writes anything: the writer is on the locked file.
  if (Status held = check_held_file(path, lock.value(), writer.value().get()); !held.ok()) {
    return held;
  }
  if (Status status = configure_writer(*writer.value()); !status.ok()) return status;
  auto impl =
      std::make_unique<Impl>(std::move(lock.value()), std::move(path), std::move(writer.value()));
  return std::shared_ptr<Database>(new Database(std::move(impl)));
}

Database::Database(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Database::~Database() {
  impl_->idle_readers_.clear();
  impl_->writer_.reset();
  impl_.reset();  // releases the file lock last
}

Result<WriteTransaction> Database::begin_write() {
  Connection* writer = impl_->writer_.get();
  if (Status status = writer->run(Sql::kBeginImmediate); !status.ok()) return status;
  // The tables are "opened" by preparing the statements that write them and
  // by reading both: a missing or damaged table, also one dropped since the
  // statements were prepared, fails the transaction here, not each write.
  for (Sql which : {Sql::kPutDocument, Sql::kRemoveDocument, Sql::kInsertIndex,
                    Sql::kInsertIndexChunk, Sql::kRemoveIndex}) {
    if (writer->statement(which) == nullptr) {
      Status failed = step_error(*writer);
      writer->run(Sql::kRollback);
      return failed;
    }
  }
  if (Status checked = writer->run(Sql::kCheckTables); !checked.ok()) {
    writer->run(Sql::kRollback);
    return checked;
  }
  return WriteTransaction(writer, this);
}

Result<ReadTransaction> Database::begin_read() {
  Result<std::unique_ptr<Connection>> taken = impl_->take_reader();
  if (!taken.ok()) return taken.status();
  std::unique_ptr<Connection> reader = std::move(taken.value());
  // The counter is read before the snapshot is taken, so the snapshot holds
  // at least the commits counted.
  const std::uint64_t commits = impl_->commits_.load(std::memory_order_acquire);
  if (reader->in_transaction()) {
    if (reader->snapshot_commits == commits) {
      return ReadTransaction(shared_from_this(), std::move(reader));
    }
    if (!reader->run(Sql::kCommit).ok()) reader->run(Sql::kRollback);
  }
  // A connection that cannot begin is not trusted again: it closes here.
  if (Status status = reader->run(Sql::kBegin); !status.ok()) return status;
  if (Status status = touch_snapshot(*reader); !status.ok()) return status;
  reader->snapshot_commits = commits;
  return ReadTransaction(shared_from_this(), std::move(reader));
}

std::uint64_t Database::length_limit() const { return impl_->length_limit_; }

const std::string& Database::path() const { return impl_->path_; }

void Database::note_commit() {
  impl_->commits_.fetch_add(1, std::memory_order_release);
  // Idle readers let go of their snapshots, so that the log of pages they
  // still read can be folded back into the file.
  std::lock_guard<std::mutex> guard(impl_->mutex_);
  for (const std::unique_ptr<Connection>& reader : impl_->idle_readers_) {
    if (reader->in_transaction() && !reader->run(Sql::kCommit).ok()) {
      reader->run(Sql::kRollback);
    }
  }
}

// ---- WriteTransaction ----

WriteTransaction::WriteTransaction(Connection* connection, Database* database)
    : connection_(connection), database_(database) {}

WriteTransaction::WriteTransaction(WriteTransaction&& other) noexcept
    : connection_(std::exchange(other.connection_, nullptr)), database_(other.database_) {}

WriteTransaction::~WriteTransaction() {
  if (connection_ != nullptr) connection_->run(Sql::kRollback);
}

Status WriteTransaction::put_document(std::string_view id, std::string_view body) {
  return run_with_pair(connection_, Sql::kPutDocument, id, body, bind_blob);
}

Result<std::optional<std::string>> WriteTransaction::remove_document(std::string_view id) {
  if (connection_ == nullptr) return Status::Error("write transaction has ended");
  sqlite3_stmt* stmt = connection_->statement(Sql::kRemoveDocument);
  if (stmt == nullptr) return step_error(*connection_);
  StatementScope scope(stmt);
  if (bind_text(stmt, 1, id) != SQLITE_OK) return step_error(*connection_);
  std::optional<std::string> removed;
  int rc;
  // Stepped to the end so the statement completes before it is reset.
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) removed.emplace(column_blob(stmt, 0));
  if (rc != SQLITE_DONE) return step_error(*connection_);
  return removed;
}

Status WriteTransaction::insert_index(std::string_view entry, std::string_view id) {
  return run_with_pair(connection_, Sql::kInsertIndex, entry, id, bind_text);
}

Status WriteTransaction::insert_index(std::span<const IndexPair> pairs) {
  if (connection_ == nullptr) return Status::Error("write transaction has ended");
  Status result = Status::Ok();
  std::size_t next = 0;
  // Whole chunks go through one statement each; a chunk that fails is
  // retried pair by pair, so one bad pair costs only itself.
  if (sqlite3_stmt* stmt = connection_->statement(Sql::kInsertIndexChunk)) {
    for (; pairs.size() - next >= kIndexChunkPairs; next += kIndexChunkPairs) {
      StatementScope scope(stmt);
      int rc = SQLITE_OK;
      for (std::size_t i = 0; i < kIndexChunkPairs && rc == SQLITE_OK; ++i) {
        const IndexPair& pair = pairs[next + i];
        rc = bind_text(stmt, static_cast<int>(2 * i + 1), pair.entry);
        if (rc == SQLITE_OK) rc = bind_text(stmt, static_cast<int>(2 * i + 2), pair.id);
      }
      if (rc == SQLITE_OK && sqlite3_step(stmt) == SQLITE_DONE) continue;
      for (std::size_t i = 0; i < kIndexChunkPairs; ++i) {
        Status status = insert_index(pairs[next + i].entry, pairs[next + i].id);
        if (!status.ok()) result = status;
      }
    }
  }
  for (; next < pairs.size(); ++next) {
    Status status = insert_index(pairs[next].entry, pairs[next].id);
    if (!status.ok()) result = status;
  }
  return result;
}

Status WriteTransaction::remove_index(std::string_view entry, std::string_view id) {
  // A pair longer than the store takes was never stored (a document written
  // by other means can have such an entry): nothing to remove.
  return run_with_pair(connection_, Sql::kRemoveIndex, entry, id, bind_text, SQLITE_TOOBIG);
}

Status WriteTransaction::commit() {
  if (connection_ == nullptr) return Status::Error("write transaction has ended");
  Connection* connection = std::exchange(connection_, nullptr);
  Status status = connection->run(Sql::kCommit);
  // A failed COMMIT may leave the transaction open (busy) or already undone;
  // a ROLLBACK of the latter fails harmlessly.
  if (!status.ok()) {
    connection->run(Sql::kRollback);
    return status;
  }
  database_->note_commit();
  return status;
}

// ---- ReadTransaction ----

ReadTransaction::ReadTransaction(std::shared_ptr<Database> database,
                                 std::unique_ptr<Connection> connection)
    : database_(std::move(database)), connection_(std::move(connection)) {}

ReadTransaction::ReadTransaction(ReadTransaction&& other) noexcept = default;

// The connection goes back with its snapshot still open, for the next read
// to use while nothing has been committed.
ReadTransaction::~ReadTransaction() {
  if (connection_ == nullptr) return;
  database_->impl_->return_reader(std::move(connection_));
}

Result<std::optional<std::string>> ReadTransaction::get_document(std::string_view id) {
  if (connection_ == nullptr) return Status::Error("read transaction has ended");
  sqlite3_stmt* stmt = connection_->statement(Sql::kGetDocument);
  if (stmt == nullptr) return step_error(*connection_);
  StatementScope scope(stmt);
  if (bind_text(stmt, 1, id) != SQLITE_OK) return step_error(*connection_);
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) return std::optional<std::string>(column_blob(stmt, 0));
  if (rc == SQLITE_DONE) return std::optional<std::string>();
  return step_error(*connection_);
}

Status ReadTransaction::scan_documents(
    std::string_view from,
    const std::function<bool(std::string_view id, std::string_view body)>& visit) {
  return visit_two_column_rows(Sql::kScanDocuments, from, visit);
}

Status ReadTransaction::scan_index_documents(
    std::string_view entry,
    const std::function<bool(std::string_view id, std::string_view body)>& visit) {
  return visit_two_column_rows(Sql::kScanIndexDocuments, entry, visit);
}

Status ReadTransaction::scan_index_pairs(
    const std::function<bool(std::string_view entry, std::string_view id)>& visit) {
  return visit_two_column_rows(Sql::kScanIndexPairs, std::nullopt, visit);
}

Status ReadTransaction::visit_two_column_rows(
    Sql which, std::optional<std::string_view> parameter,
    const std::function<bool(std::string_view, std::string_view)>& visit) {
  if (connection_ == nullptr) return Status::Error("read transaction has ended");
  sqlite3_stmt* stmt = connection_->statement(which);
  if (stmt == nullptr) return step_error(*connection_);
  StatementScope scope(stmt);
  if (parameter && bind_text(stmt, 1, *parameter) != SQLITE_OK) return step_error(*connection_);
  return step_two_column_rows(stmt, visit);
}

Status ReadTransaction::scan_index_page(
    std::string_view entry, std::uint64_t offset, std::optional<std::uint64_t> limit,
    const std::function<void(std::string_view id, std::string_view body)>& visit) {
  if (connection_ == nullptr) return Status::Error("read transaction has ended");
  sqlite3_stmt* stmt = connection_->statement(Sql::kScanIndexPage);
  if (stmt == nullptr) return step_error(*connection_);
  StatementScope scope(stmt);
  // SQLite counts in signed 64 bits, where a negative limit means none; no
  // index holds 2^63 ids, so larger values change nothing.
  constexpr std::uint64_t kMost = INT64_MAX;
  const auto limit_value = static_cast<sqlite3_int64>(limit ? std::min(*limit, kMost) : -1);
  const auto offset_value = static_cast<sqlite3_int64>(std::min(offset, kMost));
  if (bind_text(stmt, 1, entry) != SQLITE_OK ||
      sqlite3_bind_int64(stmt, 2, limit_value) != SQLITE_OK ||
      sqlite3_bind_int64(stmt, 3, offset_value) != SQLITE_OK) {
    return step_error(*connection_);
  }
  return step_two_column_rows(stmt, [&](std::string_view id, std::string_view body) {
    visit(id, body);
    return true;
  });
}

Status ReadTransaction::step_two_column_rows(
    sqlite3_stmt* stmt, const std::function<bool(std::string_view, std::string_view)>& visit) {
  int rc;
  // The second column is read as a blob: a body's bytes, or a text id's
  // bytes unconverted.
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (!visit(column_text(stmt, 0), column_blob(stmt, 1))) return Status::Ok();
  }
  return rc == SQLITE_DONE ? Status::Ok() : step_error(*connection_);
}

Status ReadTransaction::scan_index(std::string_view entry,
                                   const std::function<bool(std::string_view id)>& visit) {
  if (connection_ == nullptr) return Status::Error("read transaction has ended");
  sqlite3_stmt* stmt = connection_->statement(Sql::kScanIndex);
  if (stmt == nullptr) return step_error(*connection_);
  StatementScope scope(stmt);
  if (bind_text(stmt, 1, entry) != SQLITE_OK) return step_error(*connection_);
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (!visit(column_text(stmt, 0))) return Status::Ok();
  }
  return rc == SQLITE_DONE ? Status::Ok() : step_error(*connection_);
}

}  // namespace quillmere::store
