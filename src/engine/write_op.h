// WriteOp: one operation on an engine's queues, built on the caller's thread
// and consumed by the thread that applies writes. Both engine classes use it;
// only a DBEngineWebServer queues kBackup. Lives only in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace quillmere::engine {

// Capacity of a write queue, and of a DBEngineWebServer's apply channel.
inline constexpr std::size_t WRITE_QUEUE_CAPACITY = 10000;

// The target of a backup: the path of the file to open, fixed when the
// backup was asked for (a later change of the current directory moves
// nothing), and the target as the caller named it, which the reports show.
struct BackupTarget {
  std::string path;
  std::string named;

  friend bool operator==(const BackupTarget&, const BackupTarget&) = default;
};

struct WriteOp {
  enum class Kind : std::uint8_t { kInsert, kDelete, kUpsert, kBackup, kShutdown };

  Kind kind = Kind::kShutdown;
  // The document id; the target's path of kBackup; empty for kShutdown.
  std::string id;
  // The stored document of kInsert and kUpsert; the target as named of kBackup.
  std::string payload;

  static WriteOp backup(BackupTarget target) {
    return WriteOp{Kind::kBackup, std::move(target.path), std::move(target.named)};
  }
  // The target of a kBackup, taken out of it.
  BackupTarget take_backup_target() { return {std::move(id), std::move(payload)}; }

  // Insert, Delete and Upsert change documents; Backup and Shutdown do not.
  bool is_data() const { return kind <= Kind::kUpsert; }
};

}  // namespace quillmere::engine
