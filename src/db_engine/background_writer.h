// The background writer of a DBEngine: one thread that takes the queued
// WriteOps in batches (whatever is already queued, up to MAX_BATCH_OPS),
// applies each batch in one write transaction and commits once. It ends after
// the batch holding a Shutdown, when the queue is empty and every sender has
// gone, or as a crash when a batch's transaction cannot begin or commit (so
// that no accepted write is lost without a word); on every way out it clears
// `alive`, then releases the queue (later sends fail), then its hold on the
// database.
#pragma once

#include <atomic>
#include <memory>

#include "common/channel.h"
#include "common/status.h"
#include "common/worker_thread.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::db_engine {

Result<WorkerThread> start_background_writer(std::shared_ptr<store::Database> db,
                                             Receiver<engine::WriteOp> queue,
                                             std::shared_ptr<std::atomic<bool>> alive);

}  // namespace quillmere::db_engine
