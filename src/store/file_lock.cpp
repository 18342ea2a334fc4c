#include "store/file_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <map>
#include <utility>

#include "common/io_error.h"
#include "store/database.h"

namespace quillmere::store {
namespace {

// The files this process holds: their lock descriptors by (device, inode).
// Leaked on purpose: a detached writer thread may release its database while
// the process exits, after static destructors have run.
struct Registry {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, int> held;  // guarded by mutex
};

Registry* current = nullptr;  // set once, on first use

// Around a fork the registry is held, so that the child gets it whole. A lock
// belongs to the open file, which the child's copy of the descriptor shares:
// the child lets go of its copies, or a child that outlives the parent's
// engine would keep the file locked. Its copies of the parent's engines are
// never used, so it starts with an empty registry.
void hold_for_fork() noexcept { current->mutex.lock(); }
void let_go_in_parent() noexcept { current->mutex.unlock(); }
void start_over_in_child() noexcept {
  for (const auto& [file, fd] : current->held) ::close(fd);
  current->held.clear();
  current->mutex.unlock();
}

Registry& registry() {
  static const bool created = [] {
    current = new Registry();
    return pthread_atfork(hold_for_fork, let_go_in_parent, start_over_in_child) == 0;
  }();
  (void)created;
  return *current;
}

}  // namespace

Result<FileLock> FileLock::acquire(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Status::Error("I/O error: file name contained an unexpected NUL byte");
  }
  Registry& reg = registry();
  // Held across the whole sequence so two threads opening one file cannot
  // both get past the registry check.
  std::lock_guard<std::mutex> guard(reg.mutex);

  // Checked before opening a descriptor: closing a second descriptor of a
  // file we hold would drop SQLite's record locks on it.
  struct stat existing;
  if (::stat(path.c_str(), &existing) == 0 &&
      reg.held.count({existing.st_dev, existing.st_ino}) != 0) {
    return Status::Error(std::string(kAlreadyOpenText));
  }

  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Status::Error(io_error_text(errno));

  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return Status::Error(std::string(kAlreadyOpenText));
    return Status::Error(io_error_text(error));
  }

  struct stat opened;
  if (::fstat(fd, &opened) != 0) {
    int error = errno;
    ::close(fd);
    return Status::Error(io_error_text(error));
  }
  reg.held.emplace(std::make_pair(opened.st_dev, opened.st_ino), fd);
  return FileLock(fd, opened.st_dev, opened.st_ino);
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), device_(other.device_), inode_(other.inode_) {}

FileLock::~FileLock() {
  if (fd_ < 0) return;
  Registry& reg = registry();
  // Closing and forgetting under one hold of the mutex: no other thread sees
  // the file unregistered while the flock is still held.
  std::lock_guard<std::mutex> guard(reg.mutex);
  ::close(fd_);
  reg.held.erase({device_, inode_});
}

}  // namespace quillmere::store
