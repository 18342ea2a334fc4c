// BufferedFile: a file written through a buffer of fixed size, for the WAL
// file and the audit log. Writes that do not fit in the buffer pass through
// to the file; flush() hands the buffered bytes to the operating system (it
// never syncs to disk). Failures carry "I/O error: {system text} (os error
// {n})". Owned and used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/status.h"

namespace quillmere {

class BufferedFile {
 public:
  // Opens `path` with open(2) `flags` (O_CREAT implies mode 0666 less the
  // umask); writing starts at the descriptor's position.
  static Result<BufferedFile> open(const std::string& path, int flags, std::size_t buffer_size);

  BufferedFile(BufferedFile&& other) noexcept;
  BufferedFile& operator=(BufferedFile&&) = delete;
  // Writes out what is still buffered (a failure is ignored), then closes.
  ~BufferedFile();

  Status write(std::string_view bytes);
  Status flush();
  // Empties the file and writes from offset 0 again; the buffer must be
  // flushed first.
  Status truncate();
  // The file's length: what reached the system, not what is buffered.
  Result<std::uint64_t> size() const;

 private:
  BufferedFile(int fd, std::size_t buffer_size);

  int fd_;  // -1 once moved from
  std::size_t capacity_;
  std::string buffer_;
};

}  // namespace quillmere
