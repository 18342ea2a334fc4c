// The JSON parser core: one pass over a byte string, reporting what it reads
// to a handler (SAX style), with an explicit stack of open containers so that
// no nesting depth can exhaust the thread's stack. Two dialects share it:
//
//   kGeneral  documents read back by DBEngine: integers that fit an unsigned
//             or negative signed 64-bit integer are integers, every other
//             number is a float (so "-0" is the float -0.0 and 2^64 a float);
//             a float beyond the double range fails "number out of range"; at
//             most 127 containers may be open ("recursion limit exceeded").
//   kInPlace  documents indexed by the writers: integers must fit the 64-bit
//             ranges ("-0" is the integer 0), beyond them, or a float beyond
//             the double range, the parse fails with kInvalidNumber; nesting
//             is unlimited.
//
// In both, floats are correctly rounded, strings must be valid UTF-8 without
// raw control characters, \u escapes of surrogates must pair, and a repeated
// key is reported each time it occurs. Stateless; any thread.
//
// Handler interface (each returns false to stop the parse):
//   bool null();  bool boolean(bool);
//   bool uint(std::uint64_t);  bool sint(std::int64_t /* negative */);
//   bool real(double);
//   bool string(std::string_view);  bool key(std::string_view);
//   bool begin_array();  bool end_array();
//   bool begin_object();  bool end_object();
// String views are unescaped and valid until the handler returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json_error.h"

namespace quillmere::json {

enum class Dialect { kGeneral, kInPlace };

struct ParseResult {
  enum class Outcome { kOk, kSyntaxError, kStopped };
  Outcome outcome = Outcome::kOk;
  JsonError error{};  // meaningful for kSyntaxError

  bool ok() const { return outcome == Outcome::kOk; }
};

// Most containers open at once: the general dialect's limit, which the
// readers of stored documents apply to both dialects; the index builder
// applies none.
inline constexpr std::size_t kMaxOpenContainers = 127;
inline constexpr std::size_t kUnlimitedNesting = static_cast<std::size_t>(-1);

// Opening one container more than `max_open` fails with
// kRecursionLimitExceeded.
template <Dialect D, typename Handler>
ParseResult parse_json(std::string_view input, Handler& handler,
                       std::size_t max_open = D == Dialect::kGeneral ? kMaxOpenContainers
                                                                     : kUnlimitedNesting);

// The error text of a dialect: "{reason} at line {l} column {c}" for kGeneral,
// "{kind} at character {offset} ('{char}')" for kInPlace.
std::string error_text(Dialect dialect, const JsonError& error, std::string_view input);

}  // namespace quillmere::json

#include "json/parser_impl.h"
