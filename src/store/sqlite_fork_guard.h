// The SQLite library's process-wide locks (its static mutexes), held across
// every fork() so that a child never inherits one locked by a thread it does
// not have: a child may open and use connections of its own at once, whatever
// the parent's threads were doing in SQLite. Registered once per process;
// any thread may fork after that.
#pragma once

#include <span>

#include "common/status.h"

struct sqlite3_mutex;

namespace quillmere::store {

// Initialises SQLite and registers the fork handlers; calls after the first
// that succeeded do nothing. One thread at a time (the module's execution).
Status hold_sqlite_locks_across_forks();

// What the handlers use, exposed for tests. The locks held across forks, once
// hold_sqlite_locks_across_forks() has run (empty before).
std::span<sqlite3_mutex* const> sqlite_fork_locks();
// Takes every lock of `locks` without ever waiting for one while it holds
// another, so that no order in which other threads nest them can deadlock it;
// and releases them all.
void take_all(std::span<sqlite3_mutex* const> locks) noexcept;
void release_all(std::span<sqlite3_mutex* const> locks) noexcept;

}  // namespace quillmere::store
