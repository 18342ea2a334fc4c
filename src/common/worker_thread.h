// WorkerThread: a handle of an engine's background thread. The thread starts
// with default settings (no name, default stack size). Its body returns a
// Status; a failure, or an exception escaping the body, is the thread's crash:
// reported in one line on standard error and kept for join(). Nothing escapes
// the thread; an owner that must know of it at once gives a callback, run on
// the thread before the report. Copies of a handle share the thread, so the engine and the
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

class WorkerThread {
 public:
  // Told the text of the thread's crash, on the crashing thread.
  using OnFailure = std::function<void(const std::string&)>;

  // Fails with a text beginning "failed to spawn thread" when the system
  // cannot start a thread.
  static Result<WorkerThread> spawn(std::function<Status()> body, OnFailure on_failure = {});

  // Runs runner->run() (returning Status) on a new thread that owns the
  // runner. The runner is destroyed on that thread as soon as run() returns,
  // so its destructor (the thread's way out) is done before a crash is
  // reported or a join returns.
  template <typename Runner>
  static Result<WorkerThread> spawn_runner(std::shared_ptr<Runner> runner,
                                           OnFailure on_failure = {}) {
    return spawn(
        [runner = std::move(runner)]() mutable {
          std::shared_ptr<Runner> owned = std::move(runner);
          Status ended = owned->run();
          owned.reset();
          return ended;
        },
        std::move(on_failure));
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
