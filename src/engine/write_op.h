// WriteOp: one operation on a DBEngine's write queue, built by a write method
// on the caller's thread and consumed by the background writer. Lives only in
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillmere::engine {

inline constexpr std::size_t WRITE_QUEUE_CAPACITY = 10000;

struct WriteOp {
  enum class Kind : std::uint8_t { kInsert, kDelete, kUpsert, kShutdown };

  Kind kind = Kind::kShutdown;
  std::string id;       // owned copy of the document id (empty for kShutdown)
  std::string payload;  // the stored document of kInsert and kUpsert
};

}  // namespace quillmere::engine
