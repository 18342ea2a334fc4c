#include "common/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/io_error.h"

namespace quillmere {
namespace {

std::optional<Status> nul_in_path(const std::string& path, std::string_view failure_prefix) {
  if (path.find('\0') == std::string::npos) return std::nullopt;
  return Status::Error(std::string(failure_prefix) + "file name contained an unexpected NUL byte");
}

const char* kind_of_file(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFLNK:
      return "a symbolic link";
    case S_IFIFO:
      return "a FIFO";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    case S_IFDIR:
      return "a folder";
    default:
      return "a special file";
  }
}

// Why the file `info` describes is not opened; nothing for a regular file
// with one name. A file with another name (a hard link) may be another
// program's, or another store's.
std::optional<Status> not_its_own(const std::string& path, const struct stat& info,
                                  std::string_view failure_prefix) {
  const std::string refused = std::string(failure_prefix) + path + ": it is ";
  if (!S_ISREG(info.st_mode)) {
    return Status::Error(refused + kind_of_file(info.st_mode) +
                         ", not a regular file; the engine neither " +
                         (S_ISLNK(info.st_mode) ? "follows" : "reads") + " nor changes it");
  }
  if (info.st_nlink > 1) {
    return Status::Error(refused + "a file of " + std::to_string(info.st_nlink) +
                         " names (hard links), not one of its own; the engine neither reads "
                         "nor changes it");
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileIdentity> identity_of_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

Result<std::shared_ptr<FileDescriptor>> FileDescriptor::open(const std::string& path, int flags,
                                                             std::string_view failure_prefix) {
  if (std::optional<Status> refused = nul_in_path(path, failure_prefix)) return *refused;
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return Status::Error(std::string(failure_prefix) + os_error_text(errno));
  return adopt(fd);
}

Result<std::shared_ptr<FileDescriptor>> FileDescriptor::open_regular(
    const std::string& path, int flags, std::string_view failure_prefix) {
  if (std::optional<Status> refused = nul_in_path(path, failure_prefix)) return *refused;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (std::optional<Status> refused = not_its_own(path, info, failure_prefix)) return *refused;
  }
  // What stands at the path may have changed since: a link makes the open
  // fail, anything else opens without blocking and is refused below.
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == ENOENT && (flags & O_CREAT) == 0) return std::shared_ptr<FileDescriptor>();
    return Status::Error(std::string(failure_prefix) + os_error_text(errno));
  }
  std::shared_ptr<FileDescriptor> file = adopt(fd);
  if (::fstat(fd, &info) != 0) {
    return Status::Error(std::string(failure_prefix) + os_error_text(errno));
  }
  if (std::optional<Status> refused = not_its_own(path, info, failure_prefix)) return *refused;
  const int status_flags = ::fcntl(fd, F_GETFL);
  if (status_flags < 0 || ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0) {
    return Status::Error(std::string(failure_prefix) + os_error_text(errno));
  }
  return file;
}

std::shared_ptr<FileDescriptor> FileDescriptor::adopt(int fd) {
  try {
    return std::make_shared<FileDescriptor>(fd);
  } catch (...) {
    ::close(fd);
    throw;
  }
}

FileDescriptor::~FileDescriptor() { ::close(fd_); }

std::optional<FileIdentity> FileDescriptor::identity() const {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

}  // namespace quillmere
