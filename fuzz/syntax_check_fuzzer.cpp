// Fuzzes the syntax checker on arbitrary bytes: it never crashes, its error
// text has the "{reason} at line {l} column {c}" form, and a few rewrites of
// an accepted text keep or change the verdict as the grammar says (white space
// around it, wrapping it in an array at any depth, a stray letter after it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "json/syntax_check.h"

using quillmere::json::validate_json_text;

namespace {

void check_error_form(const std::string& message) {
  const std::size_t at = message.rfind(" at line ");
  FUZZ_CHECK(at != std::string::npos && at > 0);
  const std::size_t column = message.find(" column ", at);
  FUZZ_CHECK(column != std::string::npos);
  FUZZ_CHECK(message[at + 9] >= '1' && message[at + 9] <= '9');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const quillmere::Status status = validate_json_text(text);
  if (!status.ok()) {
    check_error_form(status.message());
    return 0;
  }
  FUZZ_CHECK(validate_json_text(" \t\r\n" + text + "\n\r\t ").ok());
  const std::size_t depth = 1 + size % 300;
  FUZZ_CHECK(validate_json_text(std::string(depth, '[') + text + std::string(depth, ']')).ok());
  FUZZ_CHECK(validate_json_text("{\"k\":" + text + "}").ok());
  const quillmere::Status trailing = validate_json_text(text + " x");
  FUZZ_CHECK(!trailing.ok());
  FUZZ_CHECK(trailing.message().starts_with("trailing characters at line "));
  return 0;
}
