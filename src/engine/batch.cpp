#include "engine/batch.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "engine/apply_write_op.h"

namespace quillmere::engine {

bool collect_batch(Receiver<WriteOp>& queue, std::vector<WriteOp>& batch) {
  WriteOp first;
  for (;;) {
    const RecvResult result = queue.recv_timeout(WRITER_WAIT, first);
    if (result == RecvResult::kDisconnected) return false;
    if (result == RecvResult::kValue) break;
  }
  batch.push_back(std::move(first));
  while (batch.size() < MAX_BATCH_OPS) {
    std::optional<WriteOp> next = queue.try_recv();
    if (!next) break;
    batch.push_back(std::move(*next));
  }
  return true;
}

bool holds_shutdown(const std::vector<WriteOp>& batch) {
  return std::any_of(batch.begin(), batch.end(),
                     [](const WriteOp& op) { return op.kind == WriteOp::Kind::kShutdown; });
}

Status apply_batch(store::Database& db, std::vector<WriteOp>& batch, IndexChanges& index) {
  Result<store::WriteTransaction> transaction = db.begin_write();
  if (!transaction.ok()) return transaction.status();
  for (WriteOp& queued : batch) {
    const WriteOp op = std::move(queued);  // released as soon as it is applied
    apply_write_op(op, transaction.value(), index);
  }
  index.apply(transaction.value());
  index.clear();
  return transaction.value().commit();
}

}  // namespace quillmere::engine
