#include "common/worker_thread.h"

#include <cstdio>
#include <exception>
#include <system_error>

namespace quillmere {
namespace {

void run_guarded(const std::function<void()>& body, std::optional<std::string>& failure) {
  try {
    body();
    return;
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown error";
  }
  std::fprintf(stderr, "quillmere: background thread failed: %s\n", failure->c_str());
}

}  // namespace

Result<WorkerThread> WorkerThread::spawn(std::function<void()> body) {
  auto failure = std::make_shared<std::optional<std::string>>();
  try {
    std::thread thread([body = std::move(body), failure] { run_guarded(body, *failure); });
    return WorkerThread(std::move(thread), std::move(failure));
  } catch (const std::system_error& error) {
    return Status::Error(std::string("failed to spawn thread: ") + error.what());
  }
}

WorkerThread::WorkerThread(std::thread thread, std::shared_ptr<std::optional<std::string>> failure)
    : thread_(std::move(thread)), failure_(std::move(failure)) {}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.detach();
}

std::optional<std::string> WorkerThread::join() {
  if (thread_.joinable()) thread_.join();
  return *failure_;
}

}  // namespace quillmere
