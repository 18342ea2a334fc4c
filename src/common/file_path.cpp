#include "common/file_path.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "common/io_error.h"

namespace quillmere {

Result<std::string> absolute_path(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  // getcwd with a null buffer allocates one of the length needed.
  const std::unique_ptr<char, decltype(&std::free)> current(::getcwd(nullptr, 0), &std::free);
  if (current == nullptr) {
    return Status::Error("I/O error: cannot read the current directory: " + os_error_text(errno));
  }
  std::string absolute(current.get());
  if (absolute.back() != '/') absolute += '/';
  return absolute + path;
}

}  // namespace quillmere
