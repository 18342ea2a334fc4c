// Conversion of a JSON number text to a double, for the parser: the rare and
// bulky part kept out of the parser's inlined loop. Pure functions; any thread.
#pragma once

namespace quillmere::json::internal {

// Converts [first, last), a number that matched the JSON grammar, to the
// nearest double. Returns false when it lies beyond the double range; a
// magnitude below the smallest subnormal gives +0.0 or -0.0.
bool number_text_to_double(const char* first, const char* last, double& out);

// Whether every digit before the exponent of [first, last) is zero.
bool number_text_is_zero(const char* first, const char* last);

}  // namespace quillmere::json::internal
