// ThreadGroup: the threads of one engine that someone must still wait for:
// its writer threads, and the backup executors its database writer starts
// while it runs. close_engine and the exit hook wait on the same group, so a
// thread added while they wait is awaited too. Any thread may use it.
#pragma once

#include <mutex>
#include <vector>

#include "common/worker_thread.h"

namespace quillmere {

class ThreadGroup {
 public:
  // Handles of threads that have finished are let go here, so a long-lived
  // engine does not gather one per backup.
  void add(WorkerThread thread);

  // Waits until every thread added, also while it waits, has ended.
  void join_all();

  // Whether every thread added has finished its body.
  bool finished() const;

 private:
  mutable std::mutex mutex_;
  std::vector<WorkerThread> threads_;  // guarded by mutex_
};

}  // namespace quillmere
