// The batch cycle shared by the threads that apply writes: collect the
// operations already queued into one batch, then apply the batch in one write
// transaction with one commit. Used by the one thread that consumes a queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "common/channel.h"
#include "common/status.h"
#include "engine/metadata_index.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::engine {

inline constexpr std::size_t MAX_BATCH_OPS = 10000;
inline constexpr std::chrono::milliseconds WRITER_WAIT{10};

// Waits for one operation in slices of WRITER_WAIT, then appends to `batch`
// what else is already queued, up to MAX_BATCH_OPS operations in all. False
// once the queue is empty and disconnected.
bool collect_batch(Receiver<WriteOp>& queue, std::vector<WriteOp>& batch);

// Whether the batch holds a Shutdown.
bool holds_shutdown(const std::vector<WriteOp>& batch);

// Applies the data operations of `batch` in queue order inside one write
// transaction, then its index changes, then commits. Each operation is
// released once applied. Failures of single operations are ignored (see
// apply_write_op); a transaction that cannot begin or commit fails with the
// store's text, and then nothing of the batch has reached the file.
Status apply_batch(store::Database& db, std::vector<WriteOp>& batch, IndexChanges& index);

}  // namespace quillmere::engine
