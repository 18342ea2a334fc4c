// The backup executor: a logical backup of an engine's database. Every row of
// "documents" and "metadata_index" is copied from one read snapshot of the
// source into a database file of the same format, in one write transaction;
// rows are copied as stored (documents are not parsed, stale index pairs are
// kept). A copy that cannot read or write every row commits the rest and
// reports what it left out. run_backup works on the calling thread;
// start_backup_executor runs it on a thread of its own, which the engine's
// close and the exit await. Any thread may call either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_descriptor.h"
#include "common/status.h"
#include "common/thread_group.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::db_engine_web_server {

// Index pairs held in memory and added by one insert_index call: bounds the
// memory a copy of a large index needs.
inline constexpr std::size_t kBackupPairsPerChunk = 4096;

// The engine's files besides its database that a backup must never be
// written over (the database itself is refused by its lock).
using OwnFiles = std::vector<store::RefusedFile>;

// The WAL file and the audit log, by the identity of the descriptors the
// engine writes them through; a null descriptor (a file not open) is left out.
OwnFiles own_files(const FileDescriptor* wal_file, const FileDescriptor* audit_log);

// How the copy of one table went.
struct TableCopy {
  std::string_view table;
  std::uint64_t rows_read = 0;             // rows the source gave before its scan ended
  std::optional<std::string> read_error{};   // why the scan ended before the table did
  std::optional<std::string> write_error{};  // the first failure to write a row read
};

// The standard error line of a committed copy that left rows out: the read
// and write errors, the target as named, and what each table lacks. Nothing
// when every table was copied whole.
std::optional<std::string> incomplete_copy_line(std::span<const TableCopy> tables,
                                                std::string_view target_named);

// One backup of `source` into the database file at `target.path` (opened,
// or created if missing; an existing file keeps the rows the source lacks).
// A target that is one of `own_files` (by device and inode, the file the
// path leads to when it is opened) is refused before anything is written to
// it. Rows that cannot be read or written are left out and the rest is
// committed. Reports on the console only: a start line, then on standard
// output the success line naming `target.named`, or one failure line on
// standard error.
void run_backup(const engine::BackupTarget& target, store::Database& source,
                const OwnFiles& own_files = {});

// Runs run_backup on a new thread, added to `executors`, that holds `source`
// until the backup ends. Fails only when the thread cannot start ("failed to
// spawn thread: ...").
Status start_backup_executor(engine::BackupTarget target, std::shared_ptr<store::Database> source,
                             ThreadGroup& executors, OwnFiles own_files = {});

}  // namespace quillmere::db_engine_web_server
