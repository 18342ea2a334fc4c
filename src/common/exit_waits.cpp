#include "common/exit_waits.h"

#include <utility>

namespace quillmere {

ExitWaits& ExitWaits::instance() {
  // Never destroyed: detached threads may end while the process exits.
  static ExitWaits* const waits = new ExitWaits();
  return *waits;
}

ExitWaits::Token ExitWaits::add(Prepare prepare, std::vector<WorkerThread> threads) {
  std::lock_guard<std::mutex> guard(mutex_);
  prune_locked();
  const Token token = next_token_++;
  entries_.emplace(token, Entry{std::move(prepare), std::move(threads)});
  return token;
}

void ExitWaits::remove(Token token) {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.erase(token);
}

void ExitWaits::release(Token token, Prepare prepare) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = entries_.find(token);
  if (found != entries_.end()) found->second.prepare = std::move(prepare);
}

void ExitWaits::finish_all() {
  std::vector<std::function<void()>> shutdowns;
  std::vector<WorkerThread> threads;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& [token, entry] : entries_) {
      if (entry.prepare) shutdowns.push_back(entry.prepare());
      for (WorkerThread& thread : entry.threads) threads.push_back(thread);
    }
    entries_.clear();
  }
  for (std::function<void()>& shutdown : shutdowns) {
    if (shutdown) shutdown();
  }
  for (const WorkerThread& thread : threads) (void)thread.join();
}

void ExitWaits::prune_locked() {
  std::erase_if(entries_, [](const auto& item) {
    const Entry& entry = item.second;
    if (entry.prepare) return false;
    for (const WorkerThread& thread : entry.threads) {
      if (!thread.finished()) return false;
    }
    return true;
  });
}

}  // namespace quillmere
