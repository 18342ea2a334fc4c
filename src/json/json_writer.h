// The canonical compact JSON writer: appends tokens to a byte string. Strings
// escape only what JSON requires (quotation mark, backslash, control
// characters) and keep all other UTF-8 as it is; floats use the shortest digit
// string that reads back as the same value. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere::json {

// A quoted string; `utf8` must be valid UTF-8.
void append_json_string(std::string& out, std::string_view utf8);

void append_json_integer(std::string& out, std::uint64_t value);
void append_json_integer(std::string& out, std::int64_t value);

// A finite float: plain decimal notation with a fractional part when the
// decimal exponent of the first digit lies in [-5, 15] ("2.0", "0.00001",
// "-0.0"), otherwise one digit, an optional fraction, "e", the exponent's sign
// and the exponent ("1e+16", "1.5e-7").
void append_json_float(std::string& out, double value);

// A float as a metadata leaf text: the shortest digit string, always plain
// notation, no fractional part when integral ("2", "1.5", "0.0000001", "-0").
void append_plain_float(std::string& out, double value);

}  // namespace quillmere::json
