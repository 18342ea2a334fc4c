// apply_write_op: what one Insert, Delete or Upsert does to the documents
// table and the metadata index inside the current write transaction. An
// Insert replaces the stored document and indexes the new one, leaving the
// replaced document's entries (stale entries); a Delete removes the document
// and its entries; an Upsert is a Delete followed by an Insert. Failures of
// single steps are ignored. Used by the thread that applies a batch, and by
// WAL recovery before any thread starts.
#pragma once

#include "common/status.h"
#include "engine/metadata_index.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::engine {

// Whether an Insert whose document the store refused still gets its entries.
// The live writers index it (their callers were already told the write was
// accepted); WAL recovery reports it and leaves it out.
enum class RefusedInsert { kIndex, kSkip };

// Applies a data operation (not kShutdown); its index changes go to `index`,
// which the caller writes before committing. Returns the store's answer to
// storing the document of an Insert or Upsert (Ok for other kinds).
Status apply_write_op(const WriteOp& op, store::WriteTransaction& transaction, IndexChanges& index,
                      RefusedInsert refused = RefusedInsert::kIndex);

}  // namespace quillmere::engine
