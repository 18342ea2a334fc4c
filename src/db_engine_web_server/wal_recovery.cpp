#include "db_engine_web_server/wal_recovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "common/io_error.h"
#include "db_engine_web_server/wal_format.h"
#include "engine/apply_write_op.h"
#include "engine/batch.h"
#include "engine/metadata_index.h"

namespace quillmere::db_engine_web_server {
namespace {

// Flushed line by line so the lines keep their place among Python's output.
void print_line(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  const int fd_;
};

// Replays frames until the first one that is not whole; a header that cannot
// be read fails. The index changes are written every MAX_BATCH_OPS frames,
// as the database writer writes those of each batch, so that no sort spans
// the whole file: the last change of a pair decides either way.
Status replay(WalFrameReader& reader, store::WriteTransaction& transaction,
              engine::IndexChanges& index) {
  WalFrame frame;
  std::size_t frames_since_apply = 0;
  for (;;) {
    if (frames_since_apply == engine::MAX_BATCH_OPS) {
      (void)index.apply(transaction);  // index failures are passed over
      index.clear();
      frames_since_apply = 0;
    }
    ++frames_since_apply;
    Result<WalRead> read = reader.next(frame);
    if (!read.ok()) return read.status();
    switch (read.value()) {
      case WalRead::kFrame:
        break;
      case WalRead::kEnd:
        return Status::Ok();
      case WalRead::kIncomplete:
        print_line("WAL Recovery: Found incomplete frame at EOF. Discarding partial write");
        return Status::Ok();
      case WalRead::kMissingData:
        print_line("WAL Recovery: Missing data for frame, discarding write!");
        return Status::Ok();
    }
    const std::optional<engine::WriteOp::Kind> kind = kind_of_op_byte(frame.op_byte);
    if (!kind) {
      print_line("Op type is different, skipping this operation " +
                 std::to_string(frame.op_byte));
      continue;
    }
    const engine::WriteOp op{*kind, std::move(frame.id), std::move(frame.value)};
    // Only a refused Insert is reported; other failed steps pass unnoticed.
    const Status stored = engine::apply_write_op(op, transaction, index);
    if (op.kind == engine::WriteOp::Kind::kInsert && !stored.ok()) {
      print_line("Failed to insert id " + op.id + ". Skipping. Error " + stored.message());
    }
  }
}

}  // namespace

Status recover_wal_on_startup(store::Database& db, const std::string& wal_path) {
  const int fd = ::open(wal_path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return Status::Ok();
    return Status::Error("Failed to open WAL file " + os_error_text(errno));
  }
  const FileDescriptor wal(fd);

  Result<store::WriteTransaction> transaction = db.begin_write();
  if (!transaction.ok()) return transaction.status();
  engine::IndexChanges index;
  WalFrameReader reader(wal.get());
  if (Status replayed = replay(reader, transaction.value(), index); !replayed.ok()) {
    return replayed;
  }
  (void)index.apply(transaction.value());
  if (Status committed = transaction.value().commit(); !committed.ok()) return committed;

  if (::ftruncate(wal.get(), 0) != 0) return Status::Error(io_error_text(errno));
  print_line("WAL Recover: Successfully written all records to database!");
  return Status::Ok();
}

}  // namespace quillmere::db_engine_web_server
