#include "common/exit_waits.h"

#include <utility>

namespace quillmere {

ExitWaits& ExitWaits::instance() {
  // Never destroyed: detached threads may end while the process exits.
  static ExitWaits* const waits = new ExitWaits();
  return *waits;
}

ExitWaits::Token ExitWaits::add(Prepare prepare, std::shared_ptr<ThreadGroup> threads) {
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
  std::vector<std::shared_ptr<ThreadGroup>> groups;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto& [token, entry] : entries_) {
      if (entry.prepare) shutdowns.push_back(entry.prepare());
      groups.push_back(entry.threads);
    }
    entries_.clear();
  }
  for (std::function<void()>& shutdown : shutdowns) {
    if (shutdown) shutdown();
  }
  for (const std::shared_ptr<ThreadGroup>& group : groups) group->join_all();
}

void ExitWaits::prune_locked() {
  std::erase_if(entries_, [](const auto& item) {
    const Entry& entry = item.second;
    return !entry.prepare && entry.threads->finished();
  });
}

}  // namespace quillmere
