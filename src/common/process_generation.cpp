#include "common/process_generation.h"

#include <pthread.h>

#include <atomic>

namespace quillmere {
namespace {

std::atomic<std::uint64_t> generation{0};

void count_fork_in_child() { generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t process_generation() {
  // Registered before the first generation is handed out: a generation that
  // was never read needs no fork counted.
  static const bool counting = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
  (void)counting;
  return generation.load(std::memory_order_relaxed);
}

}  // namespace quillmere
