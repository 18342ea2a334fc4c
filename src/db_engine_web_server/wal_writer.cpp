#include "db_engine_web_server/wal_writer.h"

#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "common/buffered_file.h"
#include "db_engine_web_server/wal_format.h"

namespace quillmere::db_engine_web_server {
namespace {

using engine::WriteOp;

class WalWriter {
 public:
  // Runs on the thread that starts the writer: a WAL file that could not be
  // opened refuses writes from the start, as one that can no longer be
  // written does.
  WalWriter(Receiver<WriteOp> write_queue, Sender<WriteOp> apply_channel,
            Result<std::shared_ptr<FileDescriptor>> wal_file, std::shared_ptr<Counters> counters)
      : write_queue_(std::move(write_queue)),
        apply_channel_(std::move(apply_channel)),
        counters_(std::move(counters)) {
    if (wal_file.ok()) {
      wal_.emplace(std::move(wal_file.value()), WAL_BUFFER_SIZE);
    } else {
      wal_failure_ = wal_file.status();
      counters_->alive.store(false, std::memory_order_release);
      counters_->note_failure(wal_failure_.message());
    }
  }

  // The way out, also when an exception unwinds the thread: close the WAL
  // file (what is still buffered is written out), clear `alive`, release
  // both channel ends.
  ~WalWriter() {
    wal_.reset();
    counters_->alive.store(false, std::memory_order_release);
    write_queue_.reset();
    apply_channel_.reset();
    counters_.reset();
  }

  Status run() {
    batch_.reserve(1000);
    for (;;) {
      WriteOp first;
      const RecvResult received = write_queue_->recv_timeout(WAL_WRITER_WAIT, first);
      if (received == RecvResult::kDisconnected) break;
      if (received == RecvResult::kTimeout) {
        if (Status emptied = empty_when_applied(); !emptied.ok()) return emptied;
        continue;
      }
      if (Status handled = handle_batch(std::move(first)); !handled.ok()) return handled;
      if (shutdown_taken_) break;
    }
    if (forwarding_) counters_->wal_forwarded_all.store(true, std::memory_order_release);
    return wal_failure_;
  }

 private:
  // Takes what is queued behind `first`, frames it while the WAL file can be
  // written, then forwards it while the database writer runs. A failure ends
  // the thread.
  Status handle_batch(WriteOp first) {
    std::uint64_t batch_frames = 0;
    Status framed = take(std::move(first), batch_frames);
    while (framed.ok() && !shutdown_taken_ && batch_.size() < MAX_WAL_BATCH_OPS) {
      std::optional<WriteOp> next = write_queue_->try_recv();
      if (!next) break;
      framed = take(std::move(*next), batch_frames);
    }
    if (framed.ok() && batch_frames != 0) framed = wal_->flush();
    if (framed.ok()) {
      if (wal_) count_framed(batch_.size());
      forward(0, batch_.size());
    } else if (Status kept = keep_after_wal_failure(std::move(framed)); !kept.ok()) {
      return kept;
    }
    batch_.clear();
    // Nothing taken from now on can be kept: neither framed nor applied.
    if (!wal_ && !forwarding_) return wal_failure_;
    return Status::Ok();
  }

  // Appends `op` to the batch, framed while the WAL file is open. On a
  // failure the operation is still taken.
  Status take(WriteOp op, std::uint64_t& batch_frames) {
    Status framed = wal_ ? encode_wal_frame(*wal_, batch_frames, op) : Status::Ok();
    shutdown_taken_ = op.kind == WriteOp::Kind::kShutdown;
    batch_.push_back(std::move(op));
    return framed;
  }

  // Counts the frames of the first `ops` operations of the batch as written.
  void count_framed(std::size_t ops) {
    for (std::size_t i = 0; i < ops; ++i) {
      if (!batch_[i].is_data()) continue;
      ++frames_;
      bytes_ += wal_frame_size(batch_[i]);
    }
  }

  // Sends batch_[from, to) on while the database writer takes them.
  void forward(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to && forwarding_; ++i) {
      forwarding_ = apply_channel_->send(std::move(batch_[i])).ok();
    }
  }

  // The WAL file cannot be written: writes are refused from now on. The
  // operations of the batch whose frames reached the file whole go on as
  // usual; once they are committed the file is emptied and the rest goes to
  // the database unframed, so that a later replay cannot write older frames
  // over newer data. When that cannot be made sure, the rest is dropped (the
  // whole frames stay for the next replay) and the failure ends the thread.
  Status keep_after_wal_failure(Status failure) {
    counters_->alive.store(false, std::memory_order_release);
    counters_->note_failure(failure.message());
    wal_failure_ = failure;
    const std::size_t whole = whole_frames();
    count_framed(whole);
    forward(0, whole);
    if (!forwarding_ || !await_applied() || !wal_->truncate().ok()) return failure;
    wal_.reset();  // its buffer is empty after the failure: nothing is written
    forward(whole, batch_.size());
    return Status::Ok();
  }

  // How many operations of the batch come before the first data operation
  // whose frame is not whole in the file.
  std::size_t whole_frames() const {
    Result<std::uint64_t> size = wal_->size();
    if (!size.ok()) return 0;
    std::uint64_t end = bytes_;
    std::size_t ops = 0;
    while (ops < batch_.size() && (end += wal_frame_size(batch_[ops])) <= size.value()) ++ops;
    return ops;
  }

  // Waits until the database writer has committed every frame written; false
  // when it has gone first.
  bool await_applied() {
    while (counters_->applied.load(std::memory_order_seq_cst) != frames_) {
      if (apply_channel_->disconnected()) return false;
      std::this_thread::sleep_for(WAL_WRITER_WAIT);
    }
    return true;
  }

  // While idle: once every frame written is committed, the file starts over.
  // The database writer adds to `applied` only what this thread forwarded,
  // and nothing is in flight while this thread waits, so equality is final.
  // Frames the database writer can no longer apply stay for the next replay.
  Status empty_when_applied() {
    if (!wal_ || !forwarding_ || frames_ == 0 ||
        counters_->applied.load(std::memory_order_seq_cst) != frames_) {
      return Status::Ok();
    }
    if (Status truncated = wal_->truncate(); !truncated.ok()) return truncated;
    frames_ = 0;
    bytes_ = 0;
    counters_->applied.store(0, std::memory_order_release);
    return Status::Ok();
  }

  std::optional<Receiver<WriteOp>> write_queue_;
  std::optional<Sender<WriteOp>> apply_channel_;
  std::shared_ptr<Counters> counters_;
  std::optional<BufferedFile> wal_;  // absent when not opened, let go once it cannot be written
  std::vector<WriteOp> batch_;
  std::uint64_t frames_ = 0;     // frames written and flushed since the file was last emptied
  std::uint64_t bytes_ = 0;      // the length of those frames
  bool forwarding_ = true;       // false once the database writer has gone
  bool shutdown_taken_ = false;  // the last operation taken was a Shutdown
  Status wal_failure_ = Status::Ok();  // why the WAL file failed: the outcome once the thread ends
};

}  // namespace

Result<WorkerThread> start_wal_writer(Receiver<WriteOp> write_queue, Sender<WriteOp> apply_channel,
                                      Result<std::shared_ptr<FileDescriptor>> wal_file,
                                      std::shared_ptr<Counters> counters) {
  WorkerThread::OnFailure on_failure = noting_failures(counters);
  auto writer = std::make_shared<WalWriter>(std::move(write_queue), std::move(apply_channel),
                                            std::move(wal_file), std::move(counters));
  return WorkerThread::spawn_runner(std::move(writer), std::move(on_failure));
}

}  // namespace quillmere::db_engine_web_server
