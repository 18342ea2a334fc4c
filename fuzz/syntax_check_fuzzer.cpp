// The syntax checker on any bytes: no crash, errors of the form "{reason} at
// line {l} column {c}", and rewrites of an accepted text that keep the verdict
// (white space around it, nesting it in arrays or an object) or change it (a
// letter after it).
#include "fuzz/fuzz_support.h"
#include "json/syntax_check.h"

using quillmere::json::validate_json_text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const quillmere::Status status = validate_json_text(text); !status.ok()) {
    const std::string& message = status.message();
    const std::size_t at = message.rfind(" at line ");
    FUZZ_CHECK(at != std::string::npos && at > 0 && message.find(" column ", at) != message.npos &&
               message[at + 9] >= '1' && message[at + 9] <= '9');
    return 0;
  }
  const std::size_t depth = 1 + size % 300;
  FUZZ_CHECK(validate_json_text(" \t\r\n" + text + "\n\r\t ").ok());
  FUZZ_CHECK(validate_json_text(std::string(depth, '[') + text + std::string(depth, ']')).ok());
  FUZZ_CHECK(validate_json_text("{\"k\":" + text + "}").ok());
  FUZZ_CHECK(validate_json_text(text + " x").message().starts_with("trailing characters at line "));
  return 0;
}
