// The database writer thread of a DBEngineWebServer: takes the operations
// forwarded on the apply channel in batches bounded by MAX_BATCH_OPS and
// MAX_BATCH_BYTES, applies each in one write transaction, commits, starts a
// backup executor (one of `executors`) after a batch that held a Backup, and
// counts its progress into `in_flight` and `applied`. It ends after the batch holding a
// Shutdown or once the apply channel is empty and disconnected (the WAL
// writer has ended); then, if the WAL writer forwarded everything it framed,
// every frame of the WAL file is committed and it empties the file, through
// the descriptor the WAL writer writes (none when the WAL file could not be
// opened: nothing to empty). A batch that cannot begin or commit ends it as
// a crash, leaving the frames of the WAL file for the next recovery. On
// every way out it clears `alive`. Its backups refuse the targets of
// `own_files`.
#pragma once

#include <cstdint>
#include <memory>

#include "common/channel.h"
#include "common/file_descriptor.h"
#include "common/status.h"
#include "common/thread_group.h"
#include "common/worker_thread.h"
#include "db_engine_web_server/backup.h"
#include "db_engine_web_server/counters.h"
#include "engine/write_op.h"
#include "store/database.h"

namespace quillmere::db_engine_web_server {

inline constexpr std::uint64_t MAX_BATCH_BYTES = 2097152;

Result<WorkerThread> start_database_writer(Receiver<engine::WriteOp> apply_channel,
                                           std::shared_ptr<store::Database> db,
                                           std::shared_ptr<const FileDescriptor> wal_file,
                                           OwnFiles own_files, std::shared_ptr<Counters> counters,
                                           std::shared_ptr<ThreadGroup> executors);

}  // namespace quillmere::db_engine_web_server
