#include "engine/apply_write_op.h"

namespace quillmere::engine {
namespace {

Status insert_document(const WriteOp& op, store::WriteTransaction& transaction,
                       IndexChanges& index, RefusedInsert refused) {
  // A document that does not parse is stored without entries.
  Status stored = transaction.put_document(op.id, op.payload);
  if (stored.ok() || refused == RefusedInsert::kIndex) {
    index.process_json_index(op.payload, op.id, /*add=*/true);
  }
  return stored;
}

void delete_document(const WriteOp& op, store::WriteTransaction& transaction,
                     IndexChanges& index) {
  Result<std::optional<std::string>> removed = transaction.remove_document(op.id);
  if (removed.ok() && removed.value().has_value()) {
    index.process_json_index(*removed.value(), op.id, /*add=*/false);
  }
}

}  // namespace

Status apply_write_op(const WriteOp& op, store::WriteTransaction& transaction, IndexChanges& index,
                      RefusedInsert refused) {
  switch (op.kind) {
    case WriteOp::Kind::kInsert:
      return insert_document(op, transaction, index, refused);
    case WriteOp::Kind::kDelete:
      delete_document(op, transaction, index);
      break;
    case WriteOp::Kind::kUpsert:
      // The Upsert's own document is indexed even when storing it failed.
      delete_document(op, transaction, index);
      return insert_document(op, transaction, index, RefusedInsert::kIndex);
    case WriteOp::Kind::kBackup:
    case WriteOp::Kind::kShutdown:
      break;
  }
  return Status::Ok();
}

}  // namespace quillmere::engine
