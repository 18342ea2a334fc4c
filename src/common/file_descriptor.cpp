#include "common/file_descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/io_error.h"

namespace quillmere {

std::optional<FileIdentity> identity_of_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

Result<std::shared_ptr<FileDescriptor>> FileDescriptor::open(const std::string& path, int flags,
                                                             std::string_view failure_prefix) {
  if (path.find('\0') != std::string::npos) {
    return Status::Error(std::string(failure_prefix) +
                         "file name contained an unexpected NUL byte");
  }
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return Status::Error(std::string(failure_prefix) + os_error_text(errno));
  return adopt(fd);
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
