#include "common/thread_group.h"

#include <algorithm>
#include <optional>

namespace quillmere {

void ThreadGroup::add(WorkerThread thread) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(threads_, [](const WorkerThread& added) { return added.finished(); });
  threads_.push_back(std::move(thread));
}

void ThreadGroup::join_all() {
  for (;;) {
    std::optional<WorkerThread> running;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      auto found = std::find_if(threads_.begin(), threads_.end(),
                                [](const WorkerThread& added) { return !added.finished(); });
      if (found == threads_.end()) return;
      running = *found;
    }
    // Without the lock, so that the thread may add others while it ends.
    (void)running->join();
  }
}

bool ThreadGroup::finished() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::all_of(threads_.begin(), threads_.end(),
                     [](const WorkerThread& added) { return added.finished(); });
}

}  // namespace quillmere
