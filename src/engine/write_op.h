// WriteOp: one operation on an engine's queues, built on the caller's thread
// and consumed by the thread that applies writes. Both engine classes use it;
// only a DBEngineWebServer queues kBackup. Lives only in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillmere::engine {

// Capacity of a write queue, and of a DBEngineWebServer's apply channel.
inline constexpr std::size_t WRITE_QUEUE_CAPACITY = 10000;

struct WriteOp {
  enum class Kind : std::uint8_t { kInsert, kDelete, kUpsert, kBackup, kShutdown };

  Kind kind = Kind::kShutdown;
  std::string id;       // the document id; the target path of kBackup; empty for kShutdown
  std::string payload;  // the stored document of kInsert and kUpsert

  // Insert, Delete and Upsert change documents; Backup and Shutdown do not.
  bool is_data() const { return kind <= Kind::kUpsert; }
};

}  // namespace quillmere::engine
