// validate_json_text: checks that a text is exactly one JSON value with only
// white space around it, without building anything. Numbers are checked for
// syntax only and nesting is unlimited (an explicit stack, no recursion).
// Pure function; any thread.
#pragma once

#include <string_view>

#include "common/status.h"

namespace quillmere::json {

// Fails with "{reason} at line {line} column {column}" for the first error.
Status validate_json_text(std::string_view text);

}  // namespace quillmere::json
