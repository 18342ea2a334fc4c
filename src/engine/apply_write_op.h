// apply_write_op: what one Insert, Delete or Upsert does to the documents
// table and the metadata index inside the current write transaction. An
// Insert replaces the stored document and indexes the new one, leaving the
// replaced document's entries (stale entries); a Delete removes the document
// and its entries; an Upsert is a Delete followed by an Insert. Used by the
// threads that apply batches, for which a failed step fails the batch, and by
// WAL recovery before any thread starts, which reports or passes over it.
#pragma once

#include "common/status.h"
#include "engine/metadata_index.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::engine {

// Applies a data operation (not kShutdown); its index changes go to `index`,
// which the caller writes before committing. Every step runs whatever the
// earlier ones gave; the result is the first store step that failed, if any.
// An Insert whose document the store refused adds no entries; an Upsert's
// own document is indexed even then.
Status apply_write_op(const WriteOp& op, store::WriteTransaction& transaction, IndexChanges& index);

}  // namespace quillmere::engine
