// Database: the one database file of an engine, on SQLite in WAL mode, with
// the tables "documents" (id TEXT -> body BLOB) and "metadata_index" (entry
// TEXT, id TEXT; a set of ids per entry). Shared by std::shared_ptr between an
// engine object, its threads and reads in progress; the file stays open and
// exclusively locked (flock, and a registry of files open in this process)
// until the last holder lets go.
//
// Threads: begin_write() and the WriteTransaction it returns belong to one
// thread at a time (the engine's writer); begin_read() may be called from any
// number of threads at once, each read on a pooled connection of its own.
// A pooled connection keeps its snapshot while no commit happens, so reads
// between commits skip the cost of beginning a read transaction.
// Texts are bound with their byte length, so ids and entries may hold NUL
// bytes; the BINARY collation orders them by bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/file_descriptor.h"
#include "common/status.h"

struct sqlite3_stmt;

namespace quillmere::store {

class Connection;
class Database;
enum class Sql;

// The store's text for a file that another handle holds.
inline constexpr std::string_view kAlreadyOpenText = "Database already open. Cannot acquire lock.";

// The text of a path that SQLite refuses although the system reads it: a
// ".." at "/" (the system stays at "/").
inline constexpr std::string_view kAboveRootText =
    "Database path goes above \"/\" with \"..\" as SQLite resolves it (absolute, links "
    "followed); SQLite opens no such path";

// The store's text for a read, or an open, that finds another file under the
// database's path than the one it holds.
std::string replaced_file_text(const std::string& path);

// A file that Database::open refuses to take as a database (another file of
// the same engine), and the text of the refusal.
struct RefusedFile {
  FileIdentity identity;
  std::string reason;
};

// One pair of "metadata_index".
struct IndexPair {
  std::string_view entry;
  std::string_view id;
};

// One write transaction (BEGIN IMMEDIATE ... COMMIT). Rolled back if
// destroyed before commit(). Operations after a failed step still run; each
// reports its own failure. It uses the writer connection without holding the
// Database, so the caller keeps the Database alive until it ends.
class WriteTransaction {
 public:
  WriteTransaction(WriteTransaction&& other) noexcept;
  WriteTransaction& operator=(WriteTransaction&&) = delete;
  ~WriteTransaction();

  // Stores `body` under `id`, replacing any document stored there.
  Status put_document(std::string_view id, std::string_view body);
  // Removes `id`; the removed body, or nothing when no document was stored.
  Result<std::optional<std::string>> remove_document(std::string_view id);
  // Adds or removes the pair (entry, id); present or absent pairs are no
  // error, nor is the removal of a pair too long for the store.
  Status insert_index(std::string_view entry, std::string_view id);
  // Adds many pairs, several per statement; the last failure, if any.
  Status insert_index(std::span<const IndexPair> pairs);
  Status remove_index(std::string_view entry, std::string_view id);

  Status commit();

 private:
  friend class Database;
  WriteTransaction(Connection* connection, Database* database);
  Connection* connection_;  // null once committed or moved from
  Database* database_;
};

// One read snapshot on a pooled connection: the state after the latest commit
// when the transaction began. Every read of the transaction sees that state.
// A scan that meets a row it cannot read (a damaged page) stops there and
// fails with the store's text, after visiting the rows before it.
class ReadTransaction {
 public:
  ReadTransaction(ReadTransaction&& other) noexcept;
  ReadTransaction& operator=(ReadTransaction&&) = delete;
  ~ReadTransaction();

  Result<std::optional<std::string>> get_document(std::string_view id);
  // Visits documents in ascending id order from the first id >= `from`, until
  // `visit` returns false or the table ends.
  Status scan_documents(std::string_view from,
                        const std::function<bool(std::string_view id, std::string_view body)>& visit);
  // Visits the ids stored under `entry`, in ascending byte order.
  Status scan_index(std::string_view entry, const std::function<bool(std::string_view id)>& visit);
  // Visits the documents whose ids are stored under `entry`, in ascending id
  // order; listed ids without a document are skipped.
  Status scan_index_documents(
      std::string_view entry,
      const std::function<bool(std::string_view id, std::string_view body)>& visit);
  // Visits the documents of one page of the ids stored under `entry`, in
  // ascending id order: `offset` ids are passed over, then at most `limit`
  // ids (all when absent) are visited; listed ids without a document count
  // in both and are skipped.
  Status scan_index_page(std::string_view entry, std::uint64_t offset,
                         std::optional<std::uint64_t> limit,
                         const std::function<void(std::string_view id, std::string_view body)>& visit);
  // Visits every pair of "metadata_index" in ascending (entry, id) order,
  // whether or not a document is stored under the id.
  Status scan_index_pairs(
      const std::function<bool(std::string_view entry, std::string_view id)>& visit);

 private:
  friend class Database;
  ReadTransaction(std::shared_ptr<Database> database, std::unique_ptr<Connection> connection);
  // Runs `which`, with one text parameter if given, and visits its rows of
  // two columns: (id, body) or (entry, id).
  Status visit_two_column_rows(
      Sql which, std::optional<std::string_view> parameter,
      const std::function<bool(std::string_view, std::string_view)>& visit);
  // Steps a bound statement and visits its two-column rows.
  Status step_two_column_rows(sqlite3_stmt* stmt,
                              const std::function<bool(std::string_view, std::string_view)>& visit);
  std::shared_ptr<Database> database_;     // keeps the pool alive
  std::unique_ptr<Connection> connection_;  // null once moved from
};

class Database : public std::enable_shared_from_this<Database> {
 public:
  // Makes `path` absolute (absolute_path) and from then on uses that name
  // alone, whatever the process's current directory; refuses it when SQLite
  // would (resolve_as_sqlite: "Database path too long: ...", kAboveRootText,
  // or the I/O error of a file it cannot examine) before anything is
  // created; opens or creates the file, takes the exclusive lock, refuses a
  // file of `refused`, and creates both tables in one
  // committed transaction. Every connection SQLite opens by the name is
  // checked to be on the locked file (device and inode); a reader that is not
  // fails its read with replaced_file_text(). Failures: kAlreadyOpenText;
  // "I/O error: {system text} (os error {n})" when the file cannot be opened;
  // the refusals above; SQLite's own texts otherwise (with the system's
  // reason when SQLite cannot open a file); a table of either name with
  // another shape.
  static Result<std::shared_ptr<Database>> open(const std::string& path,
                                                std::span<const RefusedFile> refused = {});

  // The longest path, as SQLite resolves it (absolute, links followed), that
  // SQLite opens: its file system's mxPathname less the 8 bytes of the
  // "-journal" suffix it must be able to add.
  static std::size_t max_path_length();

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  Result<WriteTransaction> begin_write();
  Result<ReadTransaction> begin_read();

  // The most bytes the store takes in one text, blob or row: the library's
  // limit on the writer connection, read when the file was opened.
  std::uint64_t length_limit() const;
  // The absolute path of the file, fixed by open(): the engine's other files
  // are named after it.
  const std::string& path() const;

 private:
  struct Impl;
  explicit Database(std::unique_ptr<Impl> impl);
  friend class ReadTransaction;
  friend class WriteTransaction;
  // Called by the writer after each commit.
  void note_commit();
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillmere::store
