#include "engine/batch.h"

#include <algorithm>
#include <utility>

#include "engine/apply_write_op.h"

namespace quillmere::engine {

std::uint64_t counted_bytes(const WriteOp& op) {
  return op.is_data() ? op.id.size() + op.payload.size() : 0;
}

bool collect_batch(Receiver<WriteOp>& queue, std::vector<WriteOp>& batch, BatchLimits limits) {
  WriteOp first;
  for (;;) {
    const RecvResult result = queue.recv_timeout(WRITER_WAIT, first);
    if (result == RecvResult::kDisconnected) return false;
    if (result == RecvResult::kValue) break;
  }
  std::uint64_t bytes = counted_bytes(first);
  batch.push_back(std::move(first));
  while (batch.size() < limits.max_ops && bytes < limits.max_bytes) {
    std::optional<WriteOp> next = queue.try_recv();
    if (!next) break;
    bytes += counted_bytes(*next);
    batch.push_back(std::move(*next));
  }
  return true;
}

bool holds_shutdown(const std::vector<WriteOp>& batch) {
  return std::any_of(batch.begin(), batch.end(),
                     [](const WriteOp& op) { return op.kind == WriteOp::Kind::kShutdown; });
}

Result<AppliedBatch> apply_batch(store::Database& db, std::vector<WriteOp>& batch,
                                 IndexChanges& index) {
  Result<store::WriteTransaction> transaction = db.begin_write();
  if (!transaction.ok()) return transaction.status();
  AppliedBatch applied;
  for (WriteOp& queued : batch) {
    WriteOp op = std::move(queued);  // released as soon as it is applied
    if (op.is_data()) {
      if (Status done = apply_write_op(op, transaction.value(), index); !done.ok()) {
        index.clear();
        return done;
      }
      ++applied.data_ops;
    } else if (op.kind == WriteOp::Kind::kBackup) {
      applied.backup = op.take_backup_target();  // the last request of a batch wins
    }
  }
  Status indexed = index.apply(transaction.value());
  index.clear();
  if (!indexed.ok()) return indexed;
  if (Status committed = transaction.value().commit(); !committed.ok()) return committed;
  return applied;
}

}  // namespace quillmere::engine
