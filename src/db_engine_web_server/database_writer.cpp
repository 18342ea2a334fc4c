#include "db_engine_web_server/database_writer.h"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "common/io_error.h"
#include "db_engine_web_server/backup.h"
#include "engine/batch.h"
#include "engine/metadata_index.h"

namespace quillmere::db_engine_web_server {
namespace {

using engine::WriteOp;

class DatabaseWriter {
 public:
  DatabaseWriter(Receiver<WriteOp> apply_channel, std::shared_ptr<store::Database> db,
                 std::shared_ptr<const FileDescriptor> wal_file, OwnFiles own_files,
                 std::shared_ptr<Counters> counters, std::shared_ptr<ThreadGroup> executors)
      : apply_channel_(std::move(apply_channel)),
        db_(std::move(db)),
        wal_file_(std::move(wal_file)),
        own_files_(std::move(own_files)),
        counters_(std::move(counters)),
        executors_(std::move(executors)) {
    batch_.reserve(engine::MAX_BATCH_OPS);
  }

  // The way out, also when an exception unwinds the thread: drop the batch,
  // clear `alive`, disconnect the apply channel, let go of the database.
  ~DatabaseWriter() {
    batch_ = {};
    counters_->alive.store(false, std::memory_order_seq_cst);
    apply_channel_.reset();
    db_.reset();
    wal_file_.reset();
    counters_.reset();
    executors_.reset();
  }

  Status run() {
    bool stopped_by_shutdown = false;
    while (engine::collect_batch(*apply_channel_, batch_, {engine::MAX_BATCH_OPS, MAX_BATCH_BYTES})) {
      const std::uint64_t size = batch_.size();
      counters_->in_flight.fetch_add(size, std::memory_order_acq_rel);
      stopped_by_shutdown = engine::holds_shutdown(batch_);
      Result<engine::AppliedBatch> applied = engine::apply_batch(*db_, batch_, index_);
      batch_.clear();
      counters_->in_flight.fetch_sub(size, std::memory_order_acq_rel);
      // A batch that did not commit is never counted as applied, so the WAL
      // file keeps its frames for the next recovery.
      if (!applied.ok()) return applied.status();
      if (applied.value().backup) {
        Status started = start_backup_executor(std::move(*applied.value().backup), db_,
                                               *executors_, own_files_);
        if (!started.ok()) return started;
      }
      if (applied.value().data_ops != 0) {
        counters_->applied.fetch_add(applied.value().data_ops, std::memory_order_acq_rel);
      }
      if (stopped_by_shutdown) break;
    }
    // After a Shutdown the WAL writer has framed and forwarded nothing more;
    // after a disconnection it says whether it forwarded all it framed.
    if (stopped_by_shutdown || counters_->wal_forwarded_all.load(std::memory_order_acquire)) {
      return empty_wal_file();
    }
    return Status::Ok();
  }

 private:
  // Every frame of the WAL file is committed: replaying them later could
  // only write older operations over newer data. Emptied through the
  // engine's own descriptor: whatever file now has its name is not touched.
  Status empty_wal_file() {
    if (wal_file_ != nullptr && ::ftruncate(wal_file_->get(), 0) != 0) {
      return Status::Error(io_error_text(errno));
    }
    return Status::Ok();
  }

  std::optional<Receiver<WriteOp>> apply_channel_;
  std::shared_ptr<store::Database> db_;
  std::shared_ptr<const FileDescriptor> wal_file_;  // null when the WAL file could not be opened
  const OwnFiles own_files_;
  std::shared_ptr<Counters> counters_;
  std::shared_ptr<ThreadGroup> executors_;
  std::vector<WriteOp> batch_;
  engine::IndexChanges index_;
};

}  // namespace

Result<WorkerThread> start_database_writer(Receiver<WriteOp> apply_channel,
                                           std::shared_ptr<store::Database> db,
                                           std::shared_ptr<const FileDescriptor> wal_file,
                                           OwnFiles own_files, std::shared_ptr<Counters> counters,
                                           std::shared_ptr<ThreadGroup> executors) {
  WorkerThread::OnFailure on_failure = noting_failures(counters);
  auto writer = std::make_shared<DatabaseWriter>(std::move(apply_channel), std::move(db),
                                                 std::move(wal_file), std::move(own_files),
                                                 std::move(counters), std::move(executors));
  return WorkerThread::spawn_runner(std::move(writer), std::move(on_failure));
}

}  // namespace quillmere::db_engine_web_server
