#include "db_engine/background_writer.h"

#include <optional>
#include <utility>
#include <vector>

#include "engine/batch.h"
#include "engine/metadata_index.h"

namespace quillmere::db_engine {
namespace {

using engine::WriteOp;

class BackgroundWriter {
 public:
  BackgroundWriter(std::shared_ptr<store::Database> db, Receiver<WriteOp> queue,
                   std::shared_ptr<std::atomic<bool>> alive)
      : db_(std::move(db)), queue_(std::move(queue)), alive_(std::move(alive)) {
    batch_.reserve(engine::MAX_BATCH_OPS);
  }

  // The way out, also when an exception unwinds the thread: drop the batch,
  // clear `alive`, disconnect the queue, let go of the database.
  ~BackgroundWriter() {
    batch_ = {};
    alive_->store(false, std::memory_order_seq_cst);
    alive_.reset();
    queue_.reset();
    db_.reset();
  }

  Status run() {
    while (engine::collect_batch(*queue_, batch_)) {
      const bool stop_after_batch = engine::holds_shutdown(batch_);
      Result<engine::AppliedBatch> committed = engine::apply_batch(*db_, batch_, index_);
      batch_.clear();
      if (!committed.ok()) return committed.status();
      if (stop_after_batch) break;
    }
    return Status::Ok();
  }

 private:
  std::shared_ptr<store::Database> db_;
  std::optional<Receiver<WriteOp>> queue_;
  std::shared_ptr<std::atomic<bool>> alive_;
  std::vector<WriteOp> batch_;
  engine::IndexChanges index_;
};

}  // namespace

Result<WorkerThread> start_background_writer(std::shared_ptr<store::Database> db,
                                             Receiver<WriteOp> queue,
                                             std::shared_ptr<std::atomic<bool>> alive) {
  auto writer = std::make_shared<BackgroundWriter>(std::move(db), std::move(queue), std::move(alive));
  return WorkerThread::spawn_runner(std::move(writer));
}

}  // namespace quillmere::db_engine
