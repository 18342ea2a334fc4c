#include "common/buffered_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/io_error.h"

namespace quillmere {
namespace {

// write(2) until every byte is out, resuming after signals and short writes.
Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return Status::Error(io_error_text(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return Status::Ok();
}

}  // namespace

Result<BufferedFile> BufferedFile::open(const std::string& path, int flags,
                                        std::size_t buffer_size) {
  Result<std::shared_ptr<FileDescriptor>> file = FileDescriptor::open(path, flags);
  if (!file.ok()) return file.status();
  return BufferedFile(std::move(file.value()), buffer_size);
}

BufferedFile::BufferedFile(std::shared_ptr<const FileDescriptor> file, std::size_t buffer_size)
    : file_(std::move(file)), capacity_(buffer_size) {
  buffer_.reserve(capacity_);
}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : file_(std::move(other.file_)),
      capacity_(other.capacity_),
      buffer_(std::move(other.buffer_)) {}

BufferedFile::~BufferedFile() {
  if (file_ != nullptr) (void)flush();
}

Status BufferedFile::write(std::string_view bytes) {
  if (buffer_.size() + bytes.size() <= capacity_) {
    buffer_.append(bytes);
    return Status::Ok();
  }
  if (Status flushed = flush(); !flushed.ok()) return flushed;
  if (bytes.size() >= capacity_) return write_all(file_->get(), bytes);
  buffer_.append(bytes);
  return Status::Ok();
}

Status BufferedFile::flush() {
  Status written = write_all(file_->get(), buffer_);
  buffer_.clear();
  return written;
}

Status BufferedFile::truncate() {
  if (::ftruncate(file_->get(), 0) != 0 || ::lseek(file_->get(), 0, SEEK_SET) != 0) {
    return Status::Error(io_error_text(errno));
  }
  return Status::Ok();
}

Result<std::uint64_t> BufferedFile::size() const {
  struct stat info {};
  if (::fstat(file_->get(), &info) != 0) return Status::Error(io_error_text(errno));
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace quillmere
