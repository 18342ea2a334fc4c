// The SQLite library's process-wide locks (its static mutexes), held across
// every fork() so that a child never inherits one locked by a thread it does
// not have: a child may open and use connections of its own at once, whatever
// the parent's threads were doing in SQLite. Registered once per process;
// any thread may fork after that.
#pragma once

#include "common/status.h"

namespace quillmere::store {

// Initialises SQLite and registers the fork handlers; calls after the first
// that succeeded do nothing. One thread at a time (the module's execution).
Status hold_sqlite_locks_across_forks();

// The fork handlers, exposed so that tests can run them without forking,
// after hold_sqlite_locks_across_forks(). The first takes every lock without
// ever waiting for one while it holds another, so it cannot deadlock with
// SQLite's own nesting of them; the second releases them all.
void take_sqlite_locks() noexcept;
void release_sqlite_locks() noexcept;

}  // namespace quillmere::store
