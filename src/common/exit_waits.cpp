#include "common/exit_waits.h"

#include <pthread.h>

#include <new>
#include <utility>
#include <vector>

namespace quillmere {
namespace {

// Never destroyed: detached threads may end while the process exits.
ExitWaits* current = nullptr;

// The child of a fork starts over: the parent's engines, their threads and
// whoever held the registry's mutex at the fork stayed in the parent. The
// old registry is left as it is, since its mutex may be held forever (and
// kept, should there be no memory for a new one).
void start_over_in_child() noexcept {
  if (ExitWaits* fresh = new (std::nothrow) ExitWaits()) current = fresh;
}

}  // namespace

ExitWaits& ExitWaits::instance() {
  static const bool created = [] {
    current = new ExitWaits();
    return pthread_atfork(nullptr, nullptr, start_over_in_child) == 0;
  }();
  (void)created;
  return *current;
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

void ExitWaits::release(Token token) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto found = entries_.find(token);
  if (found != entries_.end()) found->second.prepare = nullptr;
}

void ExitWaits::finish_all() {
  std::vector<std::function<void()>> shutdowns;
  std::vector<std::shared_ptr<ThreadGroup>> groups;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    finishing_.store(true, std::memory_order_seq_cst);
    finishing_begun_.notify_all();
    for (auto& [token, entry] : entries_) {
      if (entry.prepare) shutdowns.push_back(entry.prepare());
      groups.push_back(entry.threads);
    }
    entries_.clear();
  }
  for (std::function<void()>& shutdown : shutdowns) shutdown();
  for (const std::shared_ptr<ThreadGroup>& group : groups) group->join_all();
}

bool ExitWaits::sleep_unless_finishing(std::chrono::nanoseconds duration) {
  std::unique_lock<std::mutex> lock(mutex_);
  return finishing_begun_.wait_for(lock, duration, [this] { return finishing(); });
}

void ExitWaits::prune_locked() {
  std::erase_if(entries_, [](const auto& item) {
    const Entry& entry = item.second;
    return !entry.prepare && entry.threads->finished();
  });
}

}  // namespace quillmere
