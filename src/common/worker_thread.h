// WorkerThread: the join handle of an engine's background thread. The thread
// starts with default settings (no name, default stack size). An exception
// escaping its body is caught at the top of the thread, reported in one line
// on standard error and kept for join(); nothing escapes the thread. Owned
// and joined by one thread at a time; an unjoined handle detaches.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "common/status.h"

namespace quillmere {

class WorkerThread {
 public:
  // Fails with a text beginning "failed to spawn thread" when the system
  // cannot start a thread.
  static Result<WorkerThread> spawn(std::function<void()> body);

  WorkerThread(WorkerThread&&) noexcept = default;
  WorkerThread& operator=(WorkerThread&&) = delete;
  ~WorkerThread();

  // Waits for the thread to end; the text of the exception that ended it, if any.
  std::optional<std::string> join();

 private:
  WorkerThread(std::thread thread, std::shared_ptr<std::optional<std::string>> failure);

  std::thread thread_;
  // Written by the thread before it ends, read after join.
  std::shared_ptr<std::optional<std::string>> failure_;
};

}  // namespace quillmere
