#include "db_engine_web_server/backup.h"

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

// A document that cannot be written is left out; the copy goes on. A read
// failure ends the scan with the rows read so far copied.
void copy_documents(store::ReadTransaction& source, store::WriteTransaction& backup) {
  source.scan_documents("", [&](std::string_view id, std::string_view body) {
    backup.put_document(id, body);
    return true;
  });
}

// The scan's views last only until its next row, so pairs are copied into
// slots that are reused chunk after chunk (keeping their capacity) and added
// a chunk at a time.
void copy_index(store::ReadTransaction& source, store::WriteTransaction& backup) {
  std::vector<std::pair<std::string, std::string>> slots(kBackupPairsPerChunk);
  std::vector<store::IndexPair> chunk;
  chunk.reserve(kBackupPairsPerChunk);
  auto flush = [&] {
    backup.insert_index(chunk);
    chunk.clear();
  };
  source.scan_index_pairs([&](std::string_view entry, std::string_view id) {
    auto& [entry_slot, id_slot] = slots[chunk.size()];
    entry_slot.assign(entry);
    id_slot.assign(id);
    chunk.push_back(store::IndexPair{entry_slot, id_slot});
    if (chunk.size() == kBackupPairsPerChunk) flush();
    return true;
  });
  flush();
}

// Adds `file`, when open and readable, as refused with `reason`.
void add_own_file(OwnFiles& files, const FileDescriptor* file, const char* reason) {
  if (file == nullptr) return;
  if (std::optional<FileIdentity> identity = file->identity()) {
    files.push_back(store::RefusedFile{*identity, reason});
  }
}

}  // namespace

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
  copy_documents(read.value(), write.value());
  copy_index(read.value(), write.value());
  if (Status committed = write.value().commit(); committed.ok()) {
    print_line(stdout, "Database backup is successful to " + target.named);
  } else {
    print_line(stderr, "Failed to commit backup database: " + committed.message());
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
