#include "common/worker_thread.h"

#include <cstdio>
#include <exception>
#include <system_error>

namespace quillmere {
namespace {

std::optional<std::string> run_guarded(const std::function<Status()>& body,
                                       const WorkerThread::OnFailure& on_failure) {
  std::optional<std::string> failure;
  try {
    Status status = body();
    if (status.ok()) return std::nullopt;
    failure = status.message();
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown error";
  }
  if (on_failure) on_failure(*failure);
  std::fprintf(stderr, "quillmere: background thread failed: %s\n", failure->c_str());
  return failure;
}

}  // namespace

WorkerThread::State::~State() {
  if (thread.joinable()) thread.detach();
}

Result<WorkerThread> WorkerThread::spawn(std::function<Status()> body, OnFailure on_failure) {
  auto state = std::make_shared<State>();
  try {
    // The thread keeps its outcome, not the handle's state: the last handle
    // may be gone before the thread ends.
    state->thread = std::thread([body = std::move(body), on_failure = std::move(on_failure),
                                 outcome = state->outcome] {
      outcome->failure = run_guarded(body, on_failure);
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
