#include "db_engine_web_server/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

#include "common/buffered_file.h"
#include "common/local_time.h"
#include "json/json_writer.h"

namespace quillmere::db_engine_web_server {
namespace {

// Whether the file ends inside a line: an earlier engine's write that the
// file system cut short. Unknown (a file opened for writing only) counts as
// no.
bool ends_mid_line(const FileDescriptor& file) {
  char last = '\n';
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && info.st_size > 0) {
    (void)::pread(file.get(), &last, 1, info.st_size - 1);
  }
  return last != '\n';
}

class AuditLog {
 public:
  // Runs on the thread that starts the log: a log that could not be opened
  // refuses writes from the start, so that no write goes unlogged.
  AuditLog(Receiver<LogOp> channel, Result<std::shared_ptr<FileDescriptor>> opened,
           std::shared_ptr<Counters> counters)
      : channel_(std::move(channel)), opened_(std::move(opened)), counters_(std::move(counters)) {
    if (!opened_.ok()) {
      counters_->alive.store(false, std::memory_order_release);
      counters_->note_failure(opened_.error());
    }
  }

  // The way out, also when an exception unwinds the thread: close the file
  // (what is still buffered is written out), clear `alive`, release the
  // receiver.
  ~AuditLog() {
    file_.reset();
    counters_->alive.store(false, std::memory_order_release);
    channel_.reset();
    counters_.reset();
  }

  Status run() {
    if (!opened_.ok()) return opened_.status();
    const std::shared_ptr<FileDescriptor> descriptor = std::move(opened_.value());
    file_.emplace(descriptor, LOG_BUFFER_SIZE);
    // A cut line is ended, so that the first record starts a line of its own.
    if (ends_mid_line(*descriptor)) {
      if (Status ended = file_->write("\n"); !ended.ok()) return ended;
    }
    for (;;) {
      std::optional<LogOp> op = channel_->recv();
      if (!op || op->kind == LogOp::Kind::kShutdown) return file_->flush();
      if (Status written = write_lines(*op); !written.ok()) return written;
    }
  }

 private:
  // One line per id, all under one reading of the clock.
  Status write_lines(const LogOp& op) {
    if (op.ids.empty()) return Status::Ok();
    const std::string_view timestamp = timestamps_.now();
    for (const std::string& id : op.ids) {
      line_.assign("{\"timestamp\": \"").append(timestamp).append("\", \"action\": ");
      json::append_json_string(line_, op.action);
      line_.append(", \"id\": ");
      json::append_json_string(line_, id);
      line_.append("}\n");
      if (Status written = file_->write(line_); !written.ok()) return written;
    }
    return Status::Ok();
  }

  std::optional<Receiver<LogOp>> channel_;
  Result<std::shared_ptr<FileDescriptor>> opened_;  // taken by run()
  std::shared_ptr<Counters> counters_;
  std::optional<BufferedFile> file_;
  LocalTimestamps timestamps_;
  std::string line_;  // reused for every line
};

}  // namespace

Result<std::shared_ptr<FileDescriptor>> open_audit_log(const std::string& path) {
  // Only a regular file of its own: appending to a link's target or another
  // file's second name would change a file that is not the engine's, and a
  // FIFO would hold the log thread, and so close_engine, for ever.
  Result<std::shared_ptr<FileDescriptor>> file =
      FileDescriptor::open_regular(path, O_RDWR | O_APPEND | O_CREAT, "I/O error: ");
  if (file.ok()) return file;
  // A file the process may write but not read is still a log.
  return FileDescriptor::open_regular(path, O_WRONLY | O_APPEND | O_CREAT, "I/O error: ");
}

Result<WorkerThread> start_log_thread(Receiver<LogOp> channel,
                                      Result<std::shared_ptr<FileDescriptor>> file,
                                      std::shared_ptr<Counters> counters) {
  WorkerThread::OnFailure on_failure = noting_failures(counters);
  auto log = std::make_shared<AuditLog>(std::move(channel), std::move(file), std::move(counters));
  return WorkerThread::spawn_runner(std::move(log), std::move(on_failure));
}

}  // namespace quillmere::db_engine_web_server
