// The batch cycle shared by the threads that apply writes: collect the
// operations already queued into one batch, then apply the batch in one write
// transaction with one commit. Used by the one thread that consumes a queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "common/channel.h"
#include "common/status.h"
#include "engine/metadata_index.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::engine {

inline constexpr std::size_t MAX_BATCH_OPS = 10000;
inline constexpr std::chrono::milliseconds WRITER_WAIT{10};

// A batch is complete once it holds `max_ops` operations or its counted
// bytes (see counted_bytes) reach `max_bytes`; the operation that crosses a
// limit belongs to the batch.
struct BatchLimits {
  std::size_t max_ops = MAX_BATCH_OPS;
  std::uint64_t max_bytes = std::numeric_limits<std::uint64_t>::max();
};

// The length of the id and payload of a data operation; 0 for the others.
std::uint64_t counted_bytes(const WriteOp& op);

// Waits for one operation in slices of WRITER_WAIT, then appends to `batch`
// what else is already queued, within `limits`. False once the queue is
// empty and disconnected.
bool collect_batch(Receiver<WriteOp>& queue, std::vector<WriteOp>& batch, BatchLimits limits = {});

// Whether the batch holds a Shutdown.
bool holds_shutdown(const std::vector<WriteOp>& batch);

// What a committed batch did besides changing documents.
struct AppliedBatch {
  std::uint64_t data_ops = 0;                // Insert, Delete and Upsert applied
  std::optional<BackupTarget> backup;  // the target of the batch's last Backup
};

// Applies the data operations of `batch` in queue order inside one write
// transaction, then its index changes, then commits. Each operation is
// released once applied. A transaction that cannot begin or commit, or a
// store step of an operation or of the index that fails, fails the batch
// with the store's text, and then nothing of the batch has reached the file.
// A Delete of an absent id, an Insert over a stored one and a document that
// does not parse are no failures.
Result<AppliedBatch> apply_batch(store::Database& db, std::vector<WriteOp>& batch,
                                 IndexChanges& index);

}  // namespace quillmere::engine
