// How SQLite's unix file system layer resolves a database path before it
// opens the file, so that Database::open can refuse a path SQLite would not
// open before the file lock creates anything. Reads the file system (lstat,
// readlink) and changes nothing; any thread.
//
// SQLite builds the path one element at a time into a buffer of mxPathname
// + 1 bytes (a relative path after the current directory's): empty elements
// and "." are skipped; ".." removes the last element built (at "/" it
// fails); any other element is appended as "/" + element, failing when the
// path would reach mxPathname bytes, and is then examined with lstat: a
// missing file is fine (one still to be created), another failure fails, and
// a symbolic link (at most 201 of them) is replaced by its target, an
// absolute one from "/", a relative one from the link's folder. The final
// path must leave room for the longest suffix SQLite adds ("-journal").
#pragma once

#include <cstddef>
#include <string>

namespace quillmere::store {

struct SqlitePath {
  enum class Verdict {
    kOpens,
    kTooLong,    // longer than SQLite's buffer on the way, or at the end
    kAboveRoot,  // a ".." at "/", which the system reads as "/" but SQLite fails
    kFailed,     // a file that could not be examined, or too many links: `error`
  };

  Verdict verdict;
  // The longest the path grew while being resolved, its final length
  // included: what it would take had SQLite's buffer no end.
  std::size_t longest;
  int error;  // errno for kFailed, 0 otherwise
};

// Resolves the absolute `path` as SQLite's unix layer does with the given
// mxPathname (Database::open makes every path absolute first).
SqlitePath resolve_as_sqlite(const std::string& path, std::size_t max_pathname);

// The longest resolved path SQLite opens: mxPathname less "-journal".
std::size_t sqlite_longest_path(std::size_t max_pathname);

}  // namespace quillmere::store
