// WorkerThread: a handle of an engine's background thread. The thread starts
// with default settings (no name, default stack size). Its body returns a
// Status; a failure, or an exception escaping the body, is the thread's crash:
// reported in one line on standard error and kept for join(). Nothing escapes
// the thread. Copies of a handle share the thread, so the engine and the
// exit hook may both wait for it: any thread may call join() on any copy, the
// first joins and the others get the same outcome. When the last copy goes
// without a join the thread runs on detached.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/status.h"

namespace quillmere {

// body(), with an exception escaping it turned into a failure.
Status run_caught(const std::function<Status()>& body);

class WorkerThread {
 public:
  // Fails with a text beginning "failed to spawn thread" when the system
  // cannot start a thread.
  static Result<WorkerThread> spawn(std::function<Status()> body);

  // Told the text of a runner's crash, on its thread.
  using OnFailure = std::function<void(const std::string&)>;

  // Runs runner->run() (returning Status) on a new thread that owns the
  // runner. A failure of run() is told to `on_failure` first; then the runner
  // is destroyed on that thread, so its destructor (the thread's way out) is
  // done before a crash is reported or a join returns. Telling first keeps
  // the order of failures: others may act on the way out at once.
  template <typename Runner>
  static Result<WorkerThread> spawn_runner(std::shared_ptr<Runner> runner,
                                           OnFailure on_failure = {}) {
    return spawn([runner = std::move(runner), on_failure = std::move(on_failure)]() mutable {
      std::shared_ptr<Runner> owned = std::move(runner);
      Status ended = run_caught([&] { return owned->run(); });
      if (!ended.ok() && on_failure) on_failure(ended.message());
      owned.reset();
      return ended;
    });
  }

  // Waits for the thread to end; the text of its crash, if it crashed.
  std::optional<std::string> join() const;

  // Whether the body has returned (the thread may still be winding down).
  bool finished() const { return state_->outcome->finished.load(std::memory_order_acquire); }

 private:
  // Written by the thread alone; read after join() or once `finished`.
  struct Outcome {
    std::optional<std::string> failure;
    std::atomic<bool> finished{false};
  };
  struct State {
    ~State();  // detaches a thread nobody joined
    std::mutex join_mutex;
    std::thread thread;  // guarded by join_mutex
    std::shared_ptr<Outcome> outcome = std::make_shared<Outcome>();
  };

  explicit WorkerThread(std::shared_ptr<State> state) : state_(std::move(state)) {}

  std::shared_ptr<State> state_;
};

}  // namespace quillmere
