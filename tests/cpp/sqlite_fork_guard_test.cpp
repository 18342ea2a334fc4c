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
    SQLITE_MUTEX_STATIC_MAIN, SQLITE_MUTEX_STATIC_MEM, SQLITE_MUTEX_STATIC_OPEN,
    SQLITE_MUTEX_STATIC_PRNG, SQLITE_MUTEX_STATIC_LRU, SQLITE_MUTEX_STATIC_PMEM,
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
  EXPECT_EQ(sqlite_fork_locks().size(), kHeldAcrossForks.size());
  take_all(sqlite_fork_locks());
  for (int id : kHeldAcrossForks) EXPECT_FALSE(free_elsewhere(id)) << id;
  for (int id : kLeftAlone) EXPECT_TRUE(free_elsewhere(id)) << id;
  release_all(sqlite_fork_locks());
  for (int id : kHeldAcrossForks) EXPECT_TRUE(free_elsewhere(id)) << id;
}

// Seven locks of SQLite's that it never nests itself (ThreadSanitizer would see the test's orders
// contradict the library's own), nested by another thread in the order taken (0), reversed (1) or
// shuffled.
class SqliteForkGuardOrderTest : public ::testing::TestWithParam<int> {
 protected:
  SqliteForkGuardOrderTest() {
    for (int i = 0; i < 7; ++i) locks.push_back(sqlite3_mutex_alloc(SQLITE_MUTEX_FAST));
    nested = locks;
    if (GetParam() == 1) std::reverse(nested.begin(), nested.end());
    if (GetParam() > 1) std::shuffle(nested.begin(), nested.end(), std::mt19937(GetParam()));
  }
  ~SqliteForkGuardOrderTest() override {
    for (sqlite3_mutex* lock : locks) sqlite3_mutex_free(lock);
  }

  std::vector<sqlite3_mutex*> locks, nested;
};

TEST_P(SqliteForkGuardOrderTest, TakeAllGetsThroughThreadsNestingTheLocksInAnyOrder) {
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
  int free_while_held = 0;
  for (int fork = 0; fork < 1000; ++fork) {
    take_all(locks);
    for (sqlite3_mutex* lock : locks) {
      if (sqlite3_mutex_try(lock) == SQLITE_OK) ++free_while_held;
    }
    release_all(locks);
  }
  stop = true;
  nester.join();
  single.join();
  EXPECT_EQ(free_while_held, 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, SqliteForkGuardOrderTest, ::testing::Values(0, 1, 2, 3, 4));

}  // namespace
}  // namespace quillmere::store
