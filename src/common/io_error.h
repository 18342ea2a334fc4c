// The text of a failed system call on a file, as every engine message
// carries it. Pure function; any thread.
#pragma once

#include <string>

namespace quillmere {

// "{strerror(error)} (os error {error})": a system error as such.
std::string os_error_text(int error);

// "I/O error: {strerror(error)} (os error {error})": the store's form.
std::string io_error_text(int error);

}  // namespace quillmere
