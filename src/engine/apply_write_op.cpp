#include "engine/apply_write_op.h"

namespace quillmere::engine {
namespace {

// A document that does not parse is stored without entries.
Status insert_document(const WriteOp& op, store::WriteTransaction& transaction,
                       IndexChanges& index) {
  if (Status stored = transaction.put_document(op.id, op.payload); !stored.ok()) return stored;
  index.process_json_index(op.payload, op.id, /*add=*/true);
  return Status::Ok();
}

Status delete_document(const WriteOp& op, store::WriteTransaction& transaction,
                       IndexChanges& index) {
  Result<std::optional<std::string>> removed = transaction.remove_document(op.id);
  if (!removed.ok()) return removed.status();
  if (removed.value().has_value()) {
    index.process_json_index(*removed.value(), op.id, /*add=*/false);
  }
  return Status::Ok();
}

}  // namespace

Status apply_write_op(const WriteOp& op, store::WriteTransaction& transaction, IndexChanges& index) {
  switch (op.kind) {
    case WriteOp::Kind::kInsert:
      return insert_document(op, transaction, index);
    case WriteOp::Kind::kDelete:
      return delete_document(op, transaction, index);
    case WriteOp::Kind::kUpsert:
      if (Status removed = delete_document(op, transaction, index); !removed.ok()) return removed;
      return insert_document(op, transaction, index);
    case WriteOp::Kind::kBackup:
    case WriteOp::Kind::kShutdown:
      break;
  }
  return Status::Ok();
}

}  // namespace quillmere::engine
