#include "db_engine_web_server/wal_writer.h"

#include <fcntl.h>

#include <optional>
#include <utility>
#include <vector>

#include "common/buffered_file.h"
#include "db_engine_web_server/wal_format.h"

namespace quillmere::db_engine_web_server {
namespace {

using engine::WriteOp;

class WalWriter {
 public:
  WalWriter(Receiver<WriteOp> write_queue, Sender<WriteOp> apply_channel, std::string wal_path,
            std::shared_ptr<Counters> counters)
      : write_queue_(std::move(write_queue)),
        apply_channel_(std::move(apply_channel)),
        wal_path_(std::move(wal_path)),
        counters_(std::move(counters)) {}

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
    Result<BufferedFile> opened = BufferedFile::open(wal_path_, O_RDWR | O_CREAT, WAL_BUFFER_SIZE);
    if (!opened.ok()) return opened.status();
    wal_.emplace(std::move(opened.value()));
    batch_.reserve(1000);
    for (;;) {
      WriteOp first;
      const RecvResult received = write_queue_->recv_timeout(WAL_WRITER_WAIT, first);
      if (received == RecvResult::kDisconnected) {
        counters_->wal_forwarded_all.store(true, std::memory_order_release);
        return Status::Ok();
      }
      if (received == RecvResult::kTimeout) {
        if (Status emptied = empty_when_applied(); !emptied.ok()) return emptied;
        continue;
      }
      std::uint64_t batch_frames = 0;
      if (Status taken = take(std::move(first), batch_frames); !taken.ok()) return taken;
      while (batch_.back().kind != WriteOp::Kind::kShutdown && batch_.size() < MAX_WAL_BATCH_OPS) {
        std::optional<WriteOp> next = write_queue_->try_recv();
        if (!next) break;
        if (Status taken = take(std::move(*next), batch_frames); !taken.ok()) return taken;
      }
      if (batch_frames != 0) {
        if (Status flushed = wal_->flush(); !flushed.ok()) return flushed;
        frames_ += batch_frames;
      }
      const bool shutdown = batch_.back().kind == WriteOp::Kind::kShutdown;
      for (WriteOp& op : batch_) {
        // The database writer has gone (it crashed): nothing more can be applied.
        if (!apply_channel_->send(std::move(op)).ok()) return Status::Ok();
      }
      batch_.clear();
      if (shutdown) return Status::Ok();
    }
  }

 private:
  Status take(WriteOp op, std::uint64_t& batch_frames) {
    Status framed = encode_wal_frame(*wal_, batch_frames, op);
    if (!framed.ok()) return framed;
    batch_.push_back(std::move(op));
    return Status::Ok();
  }

  // While idle: once every frame written is committed, the file starts over.
  // The database writer adds to `applied` only what this thread forwarded,
  // and nothing is in flight while this thread waits, so equality is final.
  Status empty_when_applied() {
    if (frames_ == 0 || counters_->applied.load(std::memory_order_seq_cst) != frames_) {
      return Status::Ok();
    }
    if (Status truncated = wal_->truncate(); !truncated.ok()) return truncated;
    frames_ = 0;
    counters_->applied.store(0, std::memory_order_release);
    return Status::Ok();
  }

  std::optional<Receiver<WriteOp>> write_queue_;
  std::optional<Sender<WriteOp>> apply_channel_;
  const std::string wal_path_;
  std::shared_ptr<Counters> counters_;
  std::optional<BufferedFile> wal_;
  std::vector<WriteOp> batch_;
  std::uint64_t frames_ = 0;  // frames written and flushed since the file was last emptied
};

}  // namespace

Result<WorkerThread> start_wal_writer(Receiver<WriteOp> write_queue, Sender<WriteOp> apply_channel,
                                      std::string wal_path, std::shared_ptr<Counters> counters) {
  auto writer = std::make_shared<WalWriter>(std::move(write_queue), std::move(apply_channel),
                                            std::move(wal_path), std::move(counters));
  return WorkerThread::spawn_runner(std::move(writer));
}

}  // namespace quillmere::db_engine_web_server
