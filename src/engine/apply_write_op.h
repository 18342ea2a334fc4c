// apply_write_op: what one Insert, Delete or Upsert does to the documents
// table and the metadata index inside the current write transaction. An
// Insert replaces the stored document and indexes the new one, leaving the
// replaced document's entries (stale entries); a Delete removes the document
// and its entries; an Upsert is a Delete followed by an Insert. Failures of
// single steps are ignored. Used by the thread that applies a batch.
#pragma once

#include "engine/metadata_index.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::engine {

// Applies a data operation (not kShutdown); its index changes go to `index`,
// which the caller writes before committing.
void apply_write_op(const WriteOp& op, store::WriteTransaction& transaction, IndexChanges& index);

}  // namespace quillmere::engine
