// The WAL writer thread of a DBEngineWebServer. It takes the operations of
// the write queue in batches of up to MAX_WAL_BATCH_OPS, appends one WAL
// frame per data operation to the WAL file, flushes once per batch (no sync)
// and only then forwards every operation, in order, on the apply channel.
// When it has waited WAL_WRITER_WAIT without work and every frame it wrote
// has been committed, it empties the WAL file. It ends after forwarding a
// Shutdown, when the write queue is disconnected, when the database writer
// has gone (a send fails), or as a crash on a failure of the WAL file; on
// every way out it clears `alive` and releases both channel ends.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "common/channel.h"
#include "common/status.h"
#include "common/worker_thread.h"
#include "db_engine_web_server/counters.h"
#include "engine/write_op.h"

namespace quillmere::db_engine_web_server {

inline constexpr std::size_t MAX_WAL_BATCH_OPS = 5000;
inline constexpr std::chrono::milliseconds WAL_WRITER_WAIT{5};

Result<WorkerThread> start_wal_writer(Receiver<engine::WriteOp> write_queue,
                                      Sender<engine::WriteOp> apply_channel,
                                      std::string wal_path, std::shared_ptr<Counters> counters);

}  // namespace quillmere::db_engine_web_server
