// ExitWaits: the engines whose background threads the process waits for
// before it ends, so that every write an engine accepted is committed rather
// than cut off with the process. An open engine is entered with a `prepare`
// step that knows how to shut it down as close_engine would; a released
// engine keeps only its threads, which end once its queues have drained. An
// engine's threads are a ThreadGroup, so threads it starts later (backups)
// are awaited too. From the moment finish_all begins, writes are refused:
// nothing queued after it would be awaited. One per process (a forked child
// starts with an empty one: the parent's engines are not its own); any
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "common/thread_group.h"

namespace quillmere {

class ExitWaits {
 public:
  using Token = std::uint64_t;
  // Called under the registry's lock when the exit begins, while the engine
  // cannot be released: takes what the shutdown needs (for example a copy of
  // a sender) and returns the shutdown itself, which runs after the lock is
  // let go and before the threads are joined.
  using Prepare = std::function<std::function<void()>()>;

  static ExitWaits& instance();

  Token add(Prepare prepare, std::shared_ptr<ThreadGroup> threads);
  // The engine's threads are joined and nothing is left to wait for.
  void remove(Token token);
  // The engine object is being released: from now on only its threads
  // count. Allocates nothing, so that a release cannot fail.
  void release(Token token);

  // Shuts down every open engine and waits for every engine's threads. Call
  // without the interpreter lock. A later call waits for what was added since.
  void finish_all();

  // Whether finish_all has begun: writes must be refused from then on.
  bool finishing() const { return finishing_.load(std::memory_order_seq_cst); }

  // Sleeps for `duration` or until finish_all begins; whether it has begun.
  bool sleep_unless_finishing(std::chrono::nanoseconds duration);

 private:
  struct Entry {
    Prepare prepare;  // empty once the engine is released
    std::shared_ptr<ThreadGroup> threads;
  };

  // Released engines whose threads all ended need no wait; dropped on add.
  void prune_locked();

  std::atomic<bool> finishing_{false};
  std::mutex mutex_;
  std::condition_variable finishing_begun_;  // signalled when finish_all begins
  std::map<Token, Entry> entries_;           // guarded by mutex_
  Token next_token_ = 1;                     // guarded by mutex_
};

}  // namespace quillmere
