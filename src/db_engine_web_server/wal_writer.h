// The WAL writer thread of a DBEngineWebServer. It takes the operations of
// the write queue in batches of up to MAX_WAL_BATCH_OPS, appends one WAL
// frame per data operation to the WAL file, flushes once per batch (no sync)
// and only then forwards every operation, in order, on the apply channel.
// When it has waited WAL_WRITER_WAIT without work and every frame it wrote
// has been committed, it empties the WAL file. It ends after a Shutdown or
// when the write queue is disconnected, clearing `alive` and releasing both
// channel ends.
//
// No accepted write is dropped while it can be kept:
// - once the database writer has gone (a send fails), every operation taken
//   is still framed, and none forwarded, so the next construction replays
//   them; the file is no longer emptied;
// - once the WAL file cannot be written, `alive` is cleared; the operations
//   whose frames reached the file whole are forwarded as usual, and once they
//   are committed the file is emptied and the rest is forwarded without
//   frames (a later replay must not write older frames over newer data). The
//   failure is the thread's crash when it ends, or at once when the file
//   cannot be emptied or the database writer has gone too; the whole frames
//   then stay for the next replay;
// - a WAL file that could not be opened is one that cannot be written from
//   the start: start_wal_writer clears `alive` and notes the failure before
//   the thread starts, every operation is forwarded unframed, and the
//   failure is the thread's crash when it ends.
// The WAL file is written through the descriptor the constructor opened,
// never reopened by name; the database writer empties it through the same.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "common/channel.h"
#include "common/file_descriptor.h"
#include "common/status.h"
#include "common/worker_thread.h"
#include "db_engine_web_server/counters.h"
#include "engine/write_op.h"

namespace quillmere::db_engine_web_server {

inline constexpr std::size_t MAX_WAL_BATCH_OPS = 5000;
inline constexpr std::chrono::milliseconds WAL_WRITER_WAIT{5};

// `wal_file` is the WAL file recovery handed on or open_wal_file created,
// written from offset 0 (recovery has emptied it), or the failure to make it.
Result<WorkerThread> start_wal_writer(Receiver<engine::WriteOp> write_queue,
                                      Sender<engine::WriteOp> apply_channel,
                                      Result<std::shared_ptr<FileDescriptor>> wal_file,
                                      std::shared_ptr<Counters> counters);

}  // namespace quillmere::db_engine_web_server
