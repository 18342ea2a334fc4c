// The background writer of a DBEngine: one thread that takes the queued
// WriteOps in batches (whatever is already queued, up to MAX_BATCH_OPS),
// applies each batch in one write transaction and commits once. It is silent:
// a batch that cannot be applied is dropped and the thread goes on. It ends
// after the batch holding a Shutdown, when the queue is empty and every sender
// has gone, or on an exception; on every way out it clears `alive`, then
// releases the queue (later sends fail), then its hold on the database.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>

#include "common/channel.h"
#include "common/status.h"
#include "common/worker_thread.h"
#include "db_engine/write_op.h"
#include "store/database.h"

namespace quillmere::db_engine {

inline constexpr std::size_t MAX_BATCH_OPS = 10000;
inline constexpr std::chrono::milliseconds WRITER_WAIT{10};

Result<WorkerThread> start_background_writer(std::shared_ptr<store::Database> db,
                                             Receiver<WriteOp> queue,
                                             std::shared_ptr<std::atomic<bool>> alive);

}  // namespace quillmere::db_engine
