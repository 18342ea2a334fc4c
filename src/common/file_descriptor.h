// FileDescriptor: one open file of an engine (its WAL file, its audit log),
// opened once by name and from then on used only through the descriptor, so
// that a file renamed, removed or replaced under the same name is never
// confused with the one opened. Shared by std::shared_ptr between the
// threads that use it; closed when the last holder lets go. Every call is a
// system call of its own: callers agree among themselves who writes when.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/status.h"

namespace quillmere {

// Which file a name or a descriptor leads to: equal identities are one file.
struct FileIdentity {
  dev_t device;
  ino_t inode;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file `path` names now; nothing when it cannot be read
// (no such file).
std::optional<FileIdentity> identity_of_path(const std::string& path);

class FileDescriptor {
 public:
  // Opens `path` with open(2) `flags`, O_CLOEXEC added (O_CREAT creates with
  // mode 0666 less the umask). Fails with `failure_prefix` followed by
  // "{system text} (os error {n})", or by "file name contained an
  // unexpected NUL byte".
  static Result<std::shared_ptr<FileDescriptor>> open(
      const std::string& path, int flags, std::string_view failure_prefix = "I/O error: ");
  // Opens `path` as open() does, but only a regular file of one name: a
  // symbolic link is never followed, and a FIFO, device, socket, folder or
  // hard-linked file is never read, blocked on or changed (one found by name
  // is not even opened; one swapped in before the open is refused by what
  // the descriptor shows). Nothing, not a failure, when `flags` has no
  // O_CREAT and there is no file. Fails with `failure_prefix` followed by
  // "{path}: it is a {kind}, not a regular file; the engine neither
  // {follows|reads} nor changes it", "{path}: it is a file of {n} names (hard
  // links), not one of its own; the engine neither reads nor changes it", or
  // the system's error text as `open` does.
  static Result<std::shared_ptr<FileDescriptor>> open_regular(const std::string& path, int flags,
                                                              std::string_view failure_prefix);
  // Takes over an open descriptor (closed, should the holder's allocation fail).
  static std::shared_ptr<FileDescriptor> adopt(int fd);

  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  // The identity of the open file; nothing when fstat fails.
  std::optional<FileIdentity> identity() const;

 private:
  const int fd_;  // constant after construction
};

}  // namespace quillmere
