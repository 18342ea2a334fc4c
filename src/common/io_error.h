// The text of a failed system call on a file, as every engine message
// carries it. Pure function; any thread.
#pragma once

#include <string>

namespace quillmere {

// "I/O error: {strerror(error)} (os error {error})".
std::string io_error_text(int error);

}  // namespace quillmere
