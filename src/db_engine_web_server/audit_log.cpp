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
// file system cut short. Unknown counts as no.
bool ends_mid_line(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char last = '\n';
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) (void)::pread(fd, &last, 1, info.st_size - 1);
  ::close(fd);
  return last != '\n';
}

class AuditLog {
 public:
  AuditLog(Receiver<LogOp> channel, std::string path, std::shared_ptr<Counters> counters)
      : channel_(std::move(channel)), path_(std::move(path)), counters_(std::move(counters)) {}

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
    Result<BufferedFile> opened =
        BufferedFile::open(path_, O_WRONLY | O_APPEND | O_CREAT, LOG_BUFFER_SIZE);
    if (!opened.ok()) return opened.status();
    file_.emplace(std::move(opened.value()));
    // A cut line is ended, so that the first record starts a line of its own.
    if (ends_mid_line(path_)) {
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
    const std::string timestamp = rfc3339_now();
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
  const std::string path_;
  std::shared_ptr<Counters> counters_;
  std::optional<BufferedFile> file_;
  std::string line_;  // reused for every line
};

}  // namespace

Result<WorkerThread> start_log_thread(Receiver<LogOp> channel, std::string path,
                                      std::shared_ptr<Counters> counters) {
  WorkerThread::OnFailure on_failure = noting_failures(counters);
  auto log = std::make_shared<AuditLog>(std::move(channel), std::move(path), std::move(counters));
  return WorkerThread::spawn_runner(std::move(log), std::move(on_failure));
}

}  // namespace quillmere::db_engine_web_server
