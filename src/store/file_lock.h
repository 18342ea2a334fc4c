// FileLock: the exclusive hold this process has on one database file, taken
// before SQLite opens it and released after SQLite has closed it. It combines
// flock(LOCK_EX) on a descriptor of our own (other processes) with a
// process-wide registry of held files (this process). Any thread may acquire
// or release a FileLock; the registry is guarded by its own mutex.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/file_descriptor.h"
#include "common/status.h"

namespace quillmere::store {

class FileLock {
 public:
  // Opens or creates `path` and locks it. Fails with kAlreadyOpenText when
  // this process or another holds the file, and with "I/O error: {system
  // text} (os error {n})" when the file cannot be opened or locked.
  static Result<FileLock> acquire(const std::string& path);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&&) = delete;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  // Closes the descriptor and forgets the file. Every SQLite connection on
  // the file must be closed by then: closing a descriptor drops the POSIX
  // record locks SQLite holds on the file through other descriptors.
  ~FileLock();

  // The file held: what its name led to when the lock was taken.
  FileIdentity identity() const { return FileIdentity{device_, inode_}; }

 private:
  FileLock(int fd, dev_t device, ino_t inode) : fd_(fd), device_(device), inode_(inode) {}

  // Constant after construction; fd_ is -1 once moved from.
  int fd_;
  dev_t device_;
  ino_t inode_;
};

}  // namespace quillmere::store
