#include "store/sqlite_fork_guard.h"

#include <pthread.h>
#include <sched.h>
#include <sqlite3.h>

#include <array>
#include <cstddef>
#include <string>

#include "common/io_error.h"

// Why the prepare handler cannot deadlock the parent.
//
// The locks are the static mutexes the library itself takes: MAIN (library
// set-up, the lists of VFSes, extensions and shared caches), MEM (every
// allocation, since memory is counted), OPEN (opening a shared cache), PRNG,
// LRU and PMEM (the page cache) and VFS1 (the unix VFS's files). APP1-3,
// VFS2 and VFS3 are left alone: only other code takes them, and it may wait
// for anything while it holds one, the interpreter lock included.
//
// The handler waits for a lock only while it holds none of them, and tries
// the others without waiting; on a failure it lets go of all and waits for
// the one that failed (the algorithm of std::lock). So it never holds one
// lock while waiting for another, whatever order SQLite nests them in.
//
// Beside them the forking thread holds what was taken before the handler
// runs: the interpreter lock and the import lock (os.fork), glibc's lock over
// the fork handlers, and what the prepare handlers that ran before this one
// took (the registry of locked files, file_lock.cpp, which calls no SQLite
// under its mutex). The zone lock of common/local_time.cpp, registered when
// the library loads, is taken after these locks: its holders call only
// glibc's zone functions, never SQLite, so none of them waits for a lock
// held here. glibc takes its malloc and stdio locks only after every
// prepare handler. No thread waits for any of these while it holds a SQLite
// lock: under one, SQLite calls only itself, the system and malloc; never
// Python nor the engine's code. Neither this engine nor Python's sqlite3
// module installs a log callback, allocator or VFS of its own, and Python's
// callbacks run under a connection's own mutex, not a static one.

namespace quillmere::store {
namespace {

constexpr std::array kLockIds = {
    SQLITE_MUTEX_STATIC_MAIN, SQLITE_MUTEX_STATIC_MEM, SQLITE_MUTEX_STATIC_OPEN,
    SQLITE_MUTEX_STATIC_PRNG, SQLITE_MUTEX_STATIC_LRU, SQLITE_MUTEX_STATIC_PMEM,
    SQLITE_MUTEX_STATIC_VFS1,
};

// Set once, before the handlers are registered; the handlers only read them.
std::array<sqlite3_mutex*, kLockIds.size()> fork_locks{};
std::size_t fork_lock_count = 0;
bool registered = false;

void take_for_fork() noexcept { take_all(sqlite_fork_locks()); }
void release_after_fork() noexcept { release_all(sqlite_fork_locks()); }

}  // namespace

Status hold_sqlite_locks_across_forks() {
  if (registered) return Status::Ok();
  // Once SQLite is initialised no thread takes its set-up locks again, so no
  // fork can land inside the initialisation.
  if (const int rc = sqlite3_initialize(); rc != SQLITE_OK) {
    return Status::Error(std::string("SQLite could not be initialised: ") + sqlite3_errstr(rc));
  }
  fork_lock_count = 0;
  for (const int id : kLockIds) {
    // Null where the library was built without mutexes.
    if (sqlite3_mutex* lock = sqlite3_mutex_alloc(id)) fork_locks[fork_lock_count++] = lock;
  }
  if (const int error = pthread_atfork(take_for_fork, release_after_fork, release_after_fork);
      error != 0) {
    return Status::Error("the fork handlers could not be registered: " + os_error_text(error));
  }
  registered = true;
  return Status::Ok();
}

std::span<sqlite3_mutex* const> sqlite_fork_locks() { return {fork_locks.data(), fork_lock_count}; }

void take_all(std::span<sqlite3_mutex* const> locks) noexcept {
  const std::size_t count = locks.size();
  std::size_t first = 0;  // the lock to wait for, holding none
  while (count != 0) {
    sqlite3_mutex_enter(locks[first]);
    std::size_t next = (first + 1) % count;
    while (next != first && sqlite3_mutex_try(locks[next]) == SQLITE_OK) next = (next + 1) % count;
    if (next == first) return;
    for (std::size_t held = first; held != next; held = (held + 1) % count) {
      sqlite3_mutex_leave(locks[held]);
    }
    first = next;
    sched_yield();  // let the holder of the failed lock get on
  }
}

void release_all(std::span<sqlite3_mutex* const> locks) noexcept {
  for (sqlite3_mutex* lock : locks) sqlite3_mutex_leave(lock);
}

}  // namespace quillmere::store
