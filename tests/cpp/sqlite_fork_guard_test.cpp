#include "store/sqlite_fork_guard.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace quillmere::store {
namespace {

const std::vector<int> kHeldAcrossForks = {
    SQLITE_MUTEX_STATIC_MAIN, SQLITE_MUTEX_STATIC_MEM,  SQLITE_MUTEX_STATIC_OPEN,
    SQLITE_MUTEX_STATIC_PRNG, SQLITE_MUTEX_STATIC_LRU,  SQLITE_MUTEX_STATIC_PMEM,
    SQLITE_MUTEX_STATIC_VFS1,
};
// Taken only by code other than the library's, which may wait for anything while it holds one.
const std::vector<int> kLeftAlone = {SQLITE_MUTEX_STATIC_APP1, SQLITE_MUTEX_STATIC_APP2,
                                     SQLITE_MUTEX_STATIC_APP3, SQLITE_MUTEX_STATIC_VFS2,
                                     SQLITE_MUTEX_STATIC_VFS3};

// Whether another thread finds the lock free (taking it for a moment).
bool free_elsewhere(int id) {
  bool free = false;
  std::thread([&] {
    sqlite3_mutex* lock = sqlite3_mutex_alloc(id);
    free = sqlite3_mutex_try(lock) == SQLITE_OK;
    if (free) sqlite3_mutex_leave(lock);
  }).join();
  return free;
}

TEST(SqliteForkGuardTest, PrepareHoldsTheLibrarysLocksAndParentFreesThem) {
  ASSERT_TRUE(hold_sqlite_locks_across_forks().ok());
  ASSERT_TRUE(hold_sqlite_locks_across_forks().ok());  // once is enough
  take_sqlite_locks();
  for (int id : kHeldAcrossForks) EXPECT_FALSE(free_elsewhere(id)) << id;
  for (int id : kLeftAlone) EXPECT_TRUE(free_elsewhere(id)) << id;
  release_sqlite_locks();
  for (int id : kHeldAcrossForks) EXPECT_TRUE(free_elsewhere(id)) << id;
}

// The order in which a thread standing for SQLite nests the locks: the handler's own, reversed,
// and shuffled. ctest runs each in a process of its own, so ThreadSanitizer's graph of lock
// orders holds only one nesting order.
std::vector<int> nesting_order(int which) {
  std::vector<int> order = kHeldAcrossForks;
  if (which == 1) std::reverse(order.begin(), order.end());
  if (which > 1) std::shuffle(order.begin(), order.end(), std::mt19937(which));
  return order;
}

class SqliteForkGuardOrderTest : public ::testing::TestWithParam<int> {};

TEST_P(SqliteForkGuardOrderTest, PrepareGetsThroughThreadsNestingTheLocksInAnyOrder) {
  ASSERT_TRUE(hold_sqlite_locks_across_forks().ok());
  std::vector<sqlite3_mutex*> nested;
  for (int id : nesting_order(GetParam())) nested.push_back(sqlite3_mutex_alloc(id));
  std::atomic<bool> stop{false};
  std::atomic<long> rounds{0};
  // One thread nests all of them, waiting for each; another takes one at a time, at random.
  std::thread nester([&] {
    while (!stop) {
      for (sqlite3_mutex* lock : nested) sqlite3_mutex_enter(lock);
      for (auto lock = nested.rbegin(); lock != nested.rend(); ++lock) sqlite3_mutex_leave(*lock);
      ++rounds;
    }
  });
  std::thread single([&, random = std::mt19937(GetParam())]() mutable {
    while (!stop) {
      sqlite3_mutex* lock = nested[random() % nested.size()];
      sqlite3_mutex_enter(lock);
      sqlite3_mutex_leave(lock);
    }
  });
  while (rounds == 0) std::this_thread::yield();
  for (int fork = 0; fork < 1000; ++fork) {
    take_sqlite_locks();
    release_sqlite_locks();
  }
  stop = true;
  nester.join();
  single.join();
  for (int id : kHeldAcrossForks) EXPECT_TRUE(free_elsewhere(id)) << id;
}

INSTANTIATE_TEST_SUITE_P(Orders, SqliteForkGuardOrderTest, ::testing::Values(0, 1, 2, 3, 4));

}  // namespace
}  // namespace quillmere::store
