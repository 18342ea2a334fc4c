#include "db_engine_web_server/wal_recovery.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include "common/io_error.h"
#include "db_engine_web_server/wal_format.h"
#include "engine/apply_write_op.h"
#include "engine/batch.h"
#include "engine/metadata_index.h"
#include "engine/row_limit.h"
#include "json/syntax_check.h"

namespace quillmere::db_engine_web_server {
namespace {

// Flushed line by line so the lines keep their place among Python's output.
void print_line(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Ids are named in full up to this many bytes; a longer one, which only a
// frame beyond the store's limit holds, would make the message as long.
constexpr std::size_t kNamedIdBytes = 256;

std::string named_id(std::string_view id) {
  if (id.size() <= kNamedIdBytes) return std::string(id);
  std::size_t cut = kNamedIdBytes;
  while ((static_cast<unsigned char>(id[cut]) & 0xC0) == 0x80) --cut;  // inside a character
  return std::string(id.substr(0, cut)) + "... (" + std::to_string(id.size()) + " bytes)";
}

// "the Insert of id k": the frame named in a failure.
std::string frame_named(const engine::WriteOp& op) {
  // No other kind has a frame.
  const char* kind = op.kind == engine::WriteOp::Kind::kInsert   ? "Insert"
                     : op.kind == engine::WriteOp::Kind::kDelete ? "Delete"
                                                                 : "Upsert";
  return std::string("the ") + kind + " of id " + named_id(op.id);
}

// A frame the store cannot apply fails the replay: dropping it would lose a
// write, and storing a damaged one would break every read that meets it.
// Failing commits nothing and keeps the file, for an engine that can apply
// it or a person who can mend it.
Status replay_failure(const std::string& what, const std::string& reason) {
  return Status::Error("WAL Recovery: cannot apply " + what + ": " + reason +
                       ". Nothing was committed and the WAL file is kept");
}

// The store's limit is read at open, so a file written under a larger one
// may hold frames this store cannot apply; the message says which limit.
Status store_failure(const std::string& what, const Status& failure, std::uint64_t length_limit) {
  return replay_failure(what, failure.message() + "; the store's length limit is " +
                                  std::to_string(length_limit) + " bytes");
}

// What the writer never frames: a document that is not a JSON text (the
// write methods refuse it) or a Delete with a value. Either is damage, such
// as a length that makes a frame swallow the start of the next.
std::optional<std::string> damage_of(const engine::WriteOp& op) {
  if (op.kind == engine::WriteOp::Kind::kDelete) {
    if (op.payload.empty()) return std::nullopt;
    return "its frame carries a value of " + std::to_string(op.payload.size()) +
           " bytes, which no Delete has";
  }
  Status valid = json::validate_json_text(op.payload);
  if (valid.ok()) return std::nullopt;
  return "its document is not a valid JSON text: " + valid.message();
}

// Applies frames, and writes their index changes, in the replay's transaction.
class FrameApplier {
 public:
  FrameApplier(store::WriteTransaction& transaction, std::uint64_t length_limit)
      : transaction_(transaction), length_limit_(length_limit) {}

  // A write the store could not hold is refused before it changes anything,
  // as the write methods refuse it.
  Status apply(const engine::WriteOp& op) {
    Status applied = op.kind == engine::WriteOp::Kind::kDelete
                         ? Status::Ok()
                         : engine::check_row_limit(op.id.size(), op.payload.size(), length_limit_);
    if (applied.ok()) applied = engine::apply_write_op(op, transaction_, index_);
    if (applied.ok()) return applied;
    return store_failure(frame_named(op), applied, length_limit_);
  }

  Status write_index() {
    Status written = index_.apply(transaction_);
    index_.clear();
    if (written.ok()) return written;
    return store_failure("the index entries of the replayed frames", written, length_limit_);
  }

 private:
  store::WriteTransaction& transaction_;
  const std::uint64_t length_limit_;
  engine::IndexChanges index_;
};

// Replays frames until the first one that is not whole; a header that cannot
// be read fails, as does a damaged frame or one the store cannot apply. The index changes
// are written every MAX_BATCH_OPS frames, as the database writer writes those
// of each batch, so that no sort spans the whole file: the last change of a
// pair decides either way.
Status replay(WalFrameReader& reader, FrameApplier& applier) {
  WalFrame frame;
  std::size_t frames_since_apply = 0;
  for (;;) {
    if (frames_since_apply == engine::MAX_BATCH_OPS) {
      if (Status written = applier.write_index(); !written.ok()) return written;
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
    if (std::optional<std::string> damage = damage_of(op)) {
      // A write cut short by a power loss can leave the file grown but its
      // end unwritten: zeros from inside the last frame on. That is a torn
      // tail too.
      if (reader.zeros_from_last_body()) {
        print_line("WAL Recovery: Missing data for frame, discarding write!");
        return Status::Ok();
      }
      return replay_failure(frame_named(op), *damage);
    }
    if (Status applied = applier.apply(op); !applied.ok()) return applied;
  }
}

}  // namespace

Result<std::shared_ptr<FileDescriptor>> recover_wal_on_startup(store::Database& db,
                                                               const std::string& wal_path) {
  Result<std::shared_ptr<FileDescriptor>> opened = open_wal_file(wal_path, /*create=*/false);
  if (!opened.ok() || !opened.value()) return opened;
  std::shared_ptr<FileDescriptor> wal = std::move(opened.value());

  Result<store::WriteTransaction> transaction = db.begin_write();
  if (!transaction.ok()) return transaction.status();
  FrameApplier applier(transaction.value(), db.length_limit());
  WalFrameReader reader(wal->get());
  if (Status replayed = replay(reader, applier); !replayed.ok()) return replayed;
  if (Status written = applier.write_index(); !written.ok()) return written;
  if (Status committed = transaction.value().commit(); !committed.ok()) return committed;

  if (::ftruncate(wal->get(), 0) != 0) return Status::Error(io_error_text(errno));
  print_line("WAL Recover: Successfully written all records to database!");
  return wal;
}

}  // namespace quillmere::db_engine_web_server
