#include "common/io_error.h"

#include <cstring>

namespace quillmere {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI flavour
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int, const char* buffer) { return buffer; }

}  // namespace

std::string os_error_text(int error) {
  char buffer[256] = {};
  const char* text = strerror_result(strerror_r(error, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(error) + ")";
}

std::string io_error_text(int error) { return "I/O error: " + os_error_text(error); }

}  // namespace quillmere
