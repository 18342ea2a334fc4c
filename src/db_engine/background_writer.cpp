#include "db_engine/background_writer.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "db_engine/apply_write_op.h"
#include "db_engine/metadata_index.h"

namespace quillmere::db_engine {
namespace {

// Applies and commits one batch; every failure is swallowed, and the batch's
// operations are consumed either way.
void apply_batch(store::Database& db, std::vector<WriteOp>& batch, IndexChanges& index) {
  Result<store::WriteTransaction> transaction = db.begin_write();
  if (!transaction.ok()) return;
  for (WriteOp& queued : batch) {
    const WriteOp op = std::move(queued);  // released as soon as it is applied
    apply_write_op(op, transaction.value(), index);
  }
  index.apply(transaction.value());
  index.clear();
  (void)transaction.value().commit();
}

class BackgroundWriter {
 public:
  BackgroundWriter(std::shared_ptr<store::Database> db, Receiver<WriteOp> queue,
                   std::shared_ptr<std::atomic<bool>> alive)
      : db_(std::move(db)), queue_(std::move(queue)), alive_(std::move(alive)) {
    batch_.reserve(MAX_BATCH_OPS);
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

  void run() {
    while (collect_batch()) {
      const bool stop_after_batch =
          std::any_of(batch_.begin(), batch_.end(),
                      [](const WriteOp& op) { return op.kind == WriteOp::Kind::kShutdown; });
      apply_batch(*db_, batch_, index_);
      batch_.clear();
      if (stop_after_batch) return;
    }
  }

 private:
  // Waits for one operation, then takes what else is already queued. False
  // once the queue is empty and disconnected.
  bool collect_batch() {
    WriteOp first;
    for (;;) {
      const RecvResult result = queue_->recv_timeout(WRITER_WAIT, first);
      if (result == RecvResult::kDisconnected) return false;
      if (result == RecvResult::kValue) break;
    }
    batch_.push_back(std::move(first));
    while (batch_.size() < MAX_BATCH_OPS) {
      std::optional<WriteOp> next = queue_->try_recv();
      if (!next) break;
      batch_.push_back(std::move(*next));
    }
    return true;
  }

  std::shared_ptr<store::Database> db_;
  std::optional<Receiver<WriteOp>> queue_;
  std::shared_ptr<std::atomic<bool>> alive_;
  std::vector<WriteOp> batch_;
  IndexChanges index_;
};

}  // namespace

Result<WorkerThread> start_background_writer(std::shared_ptr<store::Database> db,
                                             Receiver<WriteOp> queue,
                                             std::shared_ptr<std::atomic<bool>> alive) {
  auto writer = std::make_shared<BackgroundWriter>(std::move(db), std::move(queue), std::move(alive));
  return WorkerThread::spawn([writer = std::move(writer)]() mutable {
    auto owned = std::move(writer);
    owned->run();
  });
}

}  // namespace quillmere::db_engine
