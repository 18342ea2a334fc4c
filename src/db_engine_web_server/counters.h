// The shared state through which a DBEngineWebServer's threads and its
// methods meet besides the channels. Created by the constructor and held by
// shared_ptr by the object and each thread; every member is atomic, so any
// thread may use it.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillmere::db_engine_web_server {

struct Counters {
  // True until any of the WAL writer, database writer or log thread ends;
  // the write methods refuse once it is false.
  std::atomic<bool> alive{true};
  // Operations of the batch the database writer is applying (queue_size).
  std::atomic<std::uint64_t> in_flight{0};
  // Data operations committed since the WAL file was last emptied; the WAL
  // writer compares it with the frames it wrote before it empties the file.
  std::atomic<std::uint64_t> applied{0};
  // The WAL writer ended having forwarded every operation it framed, so the
  // database writer may empty the WAL file once it has committed them.
  std::atomic<bool> wal_forwarded_all{false};
};

}  // namespace quillmere::db_engine_web_server
