// apply_write_op: what one Insert, Delete or Upsert does to the documents
// table and the metadata index inside the current write transaction. An
// Insert replaces the stored document and indexes the new one, leaving the
// replaced document's entries (stale entries); a Delete removes the document
// and its entries; an Upsert is a Delete followed by an Insert. Used by the
// threads that apply batches and by WAL recovery before any thread starts;
// for each, a failed step fails the whole transaction.
#pragma once

#include "common/status.h"
#include "engine/metadata_index.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::engine {

// Applies a data operation (not kShutdown); its index changes go to `index`,
// which the caller writes before committing. Stops at the first store step
// that fails and returns its failure; the transaction and `index` are then
// only fit to be abandoned.
Status apply_write_op(const WriteOp& op, store::WriteTransaction& transaction, IndexChanges& index);

}  // namespace quillmere::engine
