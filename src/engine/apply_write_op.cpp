#include "engine/apply_write_op.h"

namespace quillmere::engine {
namespace {

void insert_document(const WriteOp& op, store::WriteTransaction& transaction,
                     IndexChanges& index) {
  // The new document is indexed even when storing it failed; a document that
  // does not parse is stored without entries.
  (void)transaction.put_document(op.id, op.payload);
  index.process_json_index(op.payload, op.id, /*add=*/true);
}

void delete_document(const WriteOp& op, store::WriteTransaction& transaction,
                     IndexChanges& index) {
  Result<std::optional<std::string>> removed = transaction.remove_document(op.id);
  if (removed.ok() && removed.value().has_value()) {
    index.process_json_index(*removed.value(), op.id, /*add=*/false);
  }
}

}  // namespace

void apply_write_op(const WriteOp& op, store::WriteTransaction& transaction, IndexChanges& index) {
  switch (op.kind) {
    case WriteOp::Kind::kInsert:
      insert_document(op, transaction, index);
      break;
    case WriteOp::Kind::kDelete:
      delete_document(op, transaction, index);
      break;
    case WriteOp::Kind::kUpsert:
      delete_document(op, transaction, index);
      insert_document(op, transaction, index);
      break;
    case WriteOp::Kind::kBackup:
    case WriteOp::Kind::kShutdown:
      break;
  }
}

}  // namespace quillmere::engine
