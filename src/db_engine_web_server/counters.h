// The shared state through which a DBEngineWebServer's threads and its
// methods meet besides the channels. Created by the constructor and held by
// shared_ptr by the object and each thread; any thread may use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "common/worker_thread.h"

namespace quillmere::db_engine_web_server {

struct Counters {
  // True until any of the WAL writer, database writer or log thread ends,
  // or the WAL file cannot be written; the write methods refuse once it is
  // false.
  std::atomic<bool> alive{true};
  // Operations of the batch the database writer is applying (queue_size).
  std::atomic<std::uint64_t> in_flight{0};
  // Data operations committed since the WAL file was last emptied; the WAL
  // writer compares it with the frames it wrote before it empties the file.
  std::atomic<std::uint64_t> applied{0};
  // The WAL writer ended having forwarded every operation it framed, so the
  // database writer may empty the WAL file once it has committed them.
  std::atomic<bool> wal_forwarded_all{false};

  // Keeps the text of the first failure of any of the threads, noted when it
  // happens: a thread may go on after its failure, so the order in which the
  // threads end does not tell which failed first.
  void note_failure(const std::string& text) {
    std::lock_guard<std::mutex> guard(failure_mutex);
    if (!first_failure) first_failure = text;
  }
  std::optional<std::string> failure() const {
    std::lock_guard<std::mutex> guard(failure_mutex);
    return first_failure;
  }

 private:
  mutable std::mutex failure_mutex;
  std::optional<std::string> first_failure;  // guarded by failure_mutex
};

// The crash callback of each of the engine's threads: notes the failure.
inline WorkerThread::OnFailure noting_failures(std::shared_ptr<Counters> counters) {
  return [counters = std::move(counters)](const std::string& text) { counters->note_failure(text); };
}

}  // namespace quillmere::db_engine_web_server
