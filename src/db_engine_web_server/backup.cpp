#include "db_engine_web_server/backup.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/worker_thread.h"

namespace quillmere::db_engine_web_server {
namespace {

// One write per line, flushed at once, so that the lines of both streams
// reach the console in the order they were written.
void print_line(std::FILE* stream, std::string text) {
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Keeps the first failure to write a row.
void note_write(TableCopy& copy, const Status& written) {
  if (!written.ok() && !copy.write_error) copy.write_error = written.message();
}

void note_read(TableCopy& copy, const Status& scanned) {
  if (!scanned.ok()) copy.read_error = scanned.message();
}

// A document that cannot be written is left out and the copy goes on; a
// read failure ends the scan with the rows read so far copied.
TableCopy copy_documents(store::ReadTransaction& source, store::WriteTransaction& backup) {
  TableCopy copy{"documents"};
  note_read(copy, source.scan_documents("", [&](std::string_view id, std::string_view body) {
    ++copy.rows_read;
    note_write(copy, backup.put_document(id, body));
    return true;
  }));
  return copy;
}

// The scan's views last only until its next row, so pairs are copied into
// slots that are reused chunk after chunk (keeping their capacity) and added
// a chunk at a time.
TableCopy copy_index(store::ReadTransaction& source, store::WriteTransaction& backup) {
  TableCopy copy{"metadata_index"};
  std::vector<std::pair<std::string, std::string>> slots(kBackupPairsPerChunk);
  std::vector<store::IndexPair> chunk;
  chunk.reserve(kBackupPairsPerChunk);
  auto flush = [&] {
    note_write(copy, backup.insert_index(chunk));
    chunk.clear();
  };
  note_read(copy, source.scan_index_pairs([&](std::string_view entry, std::string_view id) {
    ++copy.rows_read;
    auto& [entry_slot, id_slot] = slots[chunk.size()];
    entry_slot.assign(entry);
    id_slot.assign(id);
    chunk.push_back(store::IndexPair{entry_slot, id_slot});
    if (chunk.size() == kBackupPairsPerChunk) flush();
    return true;
  }));
  flush();
  return copy;
}

// The items with `separator` between them, `last_separator` (by default the
// same) before the last.
std::string joined(const std::vector<std::string>& items, std::string_view separator,
                   std::string_view last_separator = {}) {
  if (last_separator.empty()) last_separator = separator;
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) text += i + 1 == items.size() ? last_separator : separator;
    text += items[i];
  }
  return text;
}

void add_once(std::vector<std::string>& texts, const std::string& text) {
  if (std::find(texts.begin(), texts.end(), text) == texts.end()) texts.push_back(text);
}

// Adds `file`, when open and readable, as refused with `reason`.
void add_own_file(OwnFiles& files, const FileDescriptor* file, const char* reason) {
  if (file == nullptr) return;
  if (std::optional<FileIdentity> identity = file->identity()) {
    files.push_back(store::RefusedFile{*identity, reason});
  }
}

}  // namespace

std::optional<std::string> incomplete_copy_line(std::span<const TableCopy> tables,
                                                std::string_view target_named) {
  std::vector<std::string> read_errors, write_errors, left_out;
  for (const TableCopy& copy : tables) {
    const std::string table = "\"" + std::string(copy.table) + '"';
    if (copy.read_error) {
      add_once(read_errors, *copy.read_error);
      left_out.push_back(copy.rows_read == 0 ? "every row of " + table
                                             : "the rows after the first " +
                                                   std::to_string(copy.rows_read) + " of " + table);
    }
    if (copy.write_error) {
      add_once(write_errors, *copy.write_error);
      left_out.push_back("rows of " + table + " that could not be written");
    }
  }
  if (left_out.empty()) return std::nullopt;
  std::vector<std::string> failures;
  if (!read_errors.empty()) {
    failures.push_back("read source db: " + joined(read_errors, ", "));
  }
  if (!write_errors.empty()) {
    failures.push_back("write backup db: " + joined(write_errors, ", "));
  }
  return "Failed to " + joined(failures, "; failed to ") + "; the backup to " +
         std::string(target_named) + " was committed without " + joined(left_out, ", ", " and ");
}

OwnFiles own_files(const FileDescriptor* wal_file, const FileDescriptor* audit_log) {
  OwnFiles files;
  add_own_file(files, wal_file, "Backup target is the engine's own WAL file");
  add_own_file(files, audit_log, "Backup target is the engine's own audit log");
  return files;
}

void run_backup(const engine::BackupTarget& target, store::Database& source,
                const OwnFiles& own_files) {
  print_line(stdout, "Starting logical database backup in background...");
  // Declared in this order so that they end in reverse: the read, then the
  // backup's transaction (rolled back unless committed), then its file.
  Result<std::shared_ptr<store::Database>> backup =
      store::Database::open(target.path, own_files);
  if (!backup.ok()) {
    print_line(stderr, "Failed to create backup database: " + backup.error());
    return;
  }
  Result<store::WriteTransaction> write = backup.value()->begin_write();
  if (!write.ok()) {
    print_line(stderr, "Failed to begin write on backup db: " + write.error());
    return;
  }
  // The snapshot is taken here: rows committed to the source later are not
  // part of this backup.
  Result<store::ReadTransaction> read = source.begin_read();
  if (!read.ok()) {
    print_line(stderr, "Failed to begin read on source db: " + read.error());
    return;
  }
  const TableCopy copies[] = {copy_documents(read.value(), write.value()),
                              copy_index(read.value(), write.value())};
  // What could be copied is kept, but a copy with rows left out is no success.
  if (Status committed = write.value().commit(); !committed.ok()) {
    print_line(stderr, "Failed to commit backup database: " + committed.message());
  } else if (std::optional<std::string> failure = incomplete_copy_line(copies, target.named)) {
    print_line(stderr, std::move(*failure));
  } else {
    print_line(stdout, "Database backup is successful to " + target.named);
  }
}

Status start_backup_executor(engine::BackupTarget target, std::shared_ptr<store::Database> source,
                             ThreadGroup& executors, OwnFiles own_files) {
  Result<WorkerThread> thread = WorkerThread::spawn(
      [target = std::move(target), source = std::move(source),
       own_files = std::move(own_files)]() mutable {
        run_backup(target, *source, own_files);
        // Let go of the database before the thread counts as finished: once
        // the engine has let go too, the file is free for the next open.
        source.reset();
        return Status::Ok();
      });
  if (!thread.ok()) return thread.status();
  executors.add(std::move(thread.value()));
  return Status::Ok();
}

}  // namespace quillmere::db_engine_web_server
