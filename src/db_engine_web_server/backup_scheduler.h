// The backup scheduler of a DBEngineWebServer: a detached thread that sleeps
// until the next run (next_backup_run: today at the backup time, else one
// calendar month on), then queues a Backup operation on the write queue and
// starts over. It ends when a send fails (the queue is closed), when the
// process begins to wait for the engines' writers before it ends, or as a
// crash ("Date calculation failed") when no next run can be represented. Any
// thread may start it.
#pragma once

#include <string>

#include "common/calendar.h"
#include "common/channel.h"
#include "common/status.h"
#include "engine/write_op.h"

namespace quillmere::db_engine_web_server {

// The thread holds `write_queue` for its whole life, which keeps the queue
// connected. Each target is `backup_dir` (its path, absolute, and the folder
// as named) joined with backup_file_name of the local time at waking. Fails
// only when the thread cannot start.
Status start_backup_scheduler(Sender<engine::WriteOp> write_queue, engine::BackupTarget backup_dir,
                              TimeOfDay backup_time);

}  // namespace quillmere::db_engine_web_server
