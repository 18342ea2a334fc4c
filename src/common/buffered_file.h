// BufferedFile: a file written through a buffer of fixed size, for the WAL
// file and the audit log. Writes that do not fit in the buffer pass through
// to the file; flush() hands the buffered bytes to the operating system (it
// never syncs to disk). Failures carry "I/O error: {system text} (os error
// {n})". Owned and used by one thread; the descriptor it writes through may
// be shared (the WAL file's, with the database writer that empties it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/file_descriptor.h"
#include "common/status.h"

namespace quillmere {

class BufferedFile {
 public:
  // Opens `path` with open(2) `flags` (O_CREAT implies mode 0666 less the
  // umask); writing starts at the descriptor's position.
  static Result<BufferedFile> open(const std::string& path, int flags, std::size_t buffer_size);
  // Writes through `file`, from the descriptor's position.
  BufferedFile(std::shared_ptr<const FileDescriptor> file, std::size_t buffer_size);

  BufferedFile(BufferedFile&& other) noexcept;
  BufferedFile& operator=(BufferedFile&&) = delete;
  // Writes out what is still buffered (a failure is ignored), then lets go
  // of the descriptor, which closes with its last holder.
  ~BufferedFile();

  Status write(std::string_view bytes);
  Status flush();
  // Empties the file and writes from offset 0 again; the buffer must be
  // flushed first.
  Status truncate();
  // The file's length: what reached the system, not what is buffered.
  Result<std::uint64_t> size() const;

 private:
  std::shared_ptr<const FileDescriptor> file_;  // null once moved from
  std::size_t capacity_;
  std::string buffer_;
};

}  // namespace quillmere
