// The failure of reading JSON text: a reason and where in the text it was
// found, with the two textual forms the engine reports. Plain values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmere::json {

enum class JsonErrorCode {
  kEofWhileParsingList,
  kEofWhileParsingObject,
  kEofWhileParsingString,
  kEofWhileParsingValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedSomeIdent,
  kExpectedSomeValue,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidUnicodeCodePoint,
  kControlCharacterWhileParsingString,
  kKeyMustBeAString,
  kLoneLeadingSurrogateInHexEscape,
  kTrailingComma,
  kTrailingCharacters,
  kUnexpectedEndOfHexEscape,
  kRecursionLimitExceeded,
};

struct JsonError {
  JsonErrorCode code;
  // Byte offset that line and column are counted up to: the line is one more
  // than the number of line feeds before it, the column the number of bytes
  // between the last line feed before it and it.
  std::size_t index;
  // Byte offset of the offending token (the first byte of a bad number, the
  // unexpected byte), used by the character form.
  std::size_t offset;
};

// The reason, e.g. "EOF while parsing a value".
std::string_view reason_text(JsonErrorCode code);

// "{reason} at line {line} column {column}".
std::string line_column_text(const JsonError& error, std::string_view input);

// "{kind} at character {offset} ('{char}')", or "{kind} at character {offset}"
// when the offset lies at the end of the input. Kinds: "Eof",
// "UnexpectedCharacter", "TrailingData", "InvalidEscape", "RecursionLimitExceeded",
// "InvalidUnicodeCodepoint", "InvalidUtf8", "InvalidNumber".
std::string character_text(const JsonError& error, std::string_view input);

}  // namespace quillmere::json
