#include "db_engine_web_server/backup_scheduler.h"

#include <optional>
#include <string>
#include <utility>

#include "common/exit_waits.h"
#include "common/local_time.h"
#include "common/worker_thread.h"

namespace quillmere::db_engine_web_server {

Status start_backup_scheduler(Sender<engine::WriteOp> write_queue, engine::BackupTarget backup_dir,
                              TimeOfDay backup_time) {
  Result<WorkerThread> thread = WorkerThread::spawn(
      [write_queue = std::move(write_queue), backup_dir = std::move(backup_dir), backup_time] {
        for (;;) {
          const LocalDateTime now = local_now();
          const std::optional<LocalDateTime> target = next_backup_run(now, backup_time);
          if (!target) return Status::Error("Date calculation failed");
          // The process's wait for the writers wakes it: its sender must not
          // keep the queue of a released engine open then.
          if (ExitWaits::instance().sleep_unless_finishing(wall_clock_difference(*target, now))) {
            return Status::Ok();
          }
          // Named after the moment of waking, which may differ from the target.
          const std::string name = backup_file_name(local_now());
          engine::WriteOp op = engine::WriteOp::backup({join_backup_path(backup_dir.path, name),
                                                        join_backup_path(backup_dir.named, name)});
          if (!write_queue.send(std::move(op)).ok()) return Status::Ok();
        }
      });
  // The handle goes here, which detaches the thread.
  return thread.status();
}

}  // namespace quillmere::db_engine_web_server
