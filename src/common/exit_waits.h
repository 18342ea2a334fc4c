// ExitWaits: the engines whose background threads the process waits for
// when the interpreter exits, so that writes accepted before the exit are
// committed rather than cut off with the process. An open engine is entered
// with a `prepare` step that knows how to shut it down as close_engine would;
// a released engine keeps only its threads (and, where something still keeps
// its queue open, a way to send the Shutdown). An engine's threads are a
// ThreadGroup, so threads it starts later (backups) are awaited too. One per
// process; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <memory>

#include "common/thread_group.h"

namespace quillmere {

class ExitWaits {
 public:
  using Token = std::uint64_t;
  // Called under the registry's lock at exit, while the engine cannot be
  // released: takes what the shutdown needs (for example a copy of a
  // sender) and returns the shutdown itself, which runs after the lock is let
  // go and before the threads are joined. May be empty.
  using Prepare = std::function<std::function<void()>()>;

  static ExitWaits& instance();

  Token add(Prepare prepare, std::shared_ptr<ThreadGroup> threads);
  // The engine's threads are joined and nothing is left to wait for.
  void remove(Token token);
  // The engine is being released: from now on only `prepare` (possibly
  // empty) and its threads count.
  void release(Token token, Prepare prepare);

  // Shuts down every open engine and waits for every engine's threads. Call
  // without the interpreter lock.
  void finish_all();

 private:
  struct Entry {
    Prepare prepare;
    std::shared_ptr<ThreadGroup> threads;
  };

  // Released engines whose threads all ended need no wait; dropped on add.
  void prune_locked();

  std::mutex mutex_;
  std::map<Token, Entry> entries_;  // guarded by mutex_
  Token next_token_ = 1;            // guarded by mutex_
};

}  // namespace quillmere
