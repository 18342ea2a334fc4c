#include "common/worker_thread.h"

#include <cstdio>
#include <exception>
#include <system_error>

namespace quillmere {
namespace {

std::optional<std::string> run_guarded(const std::function<Status()>& body) {
  Status status = run_caught(body);
  if (status.ok()) return std::nullopt;
  std::fprintf(stderr, "quillmere: background thread failed: %s\n", status.message().c_str());
  return status.message();
}

}  // namespace

Status run_caught(const std::function<Status()>& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    return Status::Error(error.what());
  } catch (...) {
    return Status::Error("unknown error");
  }
}

WorkerThread::State::~State() {
  if (thread.joinable()) thread.detach();
}

Result<WorkerThread> WorkerThread::spawn(std::function<Status()> body) {
  auto state = std::make_shared<State>();
  try {
    // The thread keeps its outcome, not the handle's state: the last handle
    // may be gone before the thread ends.
    state->thread = std::thread([body = std::move(body), outcome = state->outcome] {
      outcome->failure = run_guarded(body);
      outcome->finished.store(true, std::memory_order_release);
    });
  } catch (const std::system_error& error) {
    return Status::Error(std::string("failed to spawn thread: ") + error.what());
  }
  return WorkerThread(std::move(state));
}

std::optional<std::string> WorkerThread::join() const {
  std::lock_guard<std::mutex> guard(state_->join_mutex);
  if (state_->thread.joinable()) state_->thread.join();
  return state_->outcome->failure;
}

}  // namespace quillmere
