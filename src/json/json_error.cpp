#include "json/json_error.h"

#include <algorithm>

namespace quillmere::json {

std::string_view reason_text(JsonErrorCode code) {
  switch (code) {
    case JsonErrorCode::kEofWhileParsingList:
      return "EOF while parsing a list";
    case JsonErrorCode::kEofWhileParsingObject:
      return "EOF while parsing an object";
    case JsonErrorCode::kEofWhileParsingString:
      return "EOF while parsing a string";
    case JsonErrorCode::kEofWhileParsingValue:
      return "EOF while parsing a value";
    case JsonErrorCode::kExpectedColon:
      return "expected `:`";
    case JsonErrorCode::kExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case JsonErrorCode::kExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case JsonErrorCode::kExpectedSomeIdent:
      return "expected ident";
    case JsonErrorCode::kExpectedSomeValue:
      return "expected value";
    case JsonErrorCode::kInvalidEscape:
      return "invalid escape";
    case JsonErrorCode::kInvalidNumber:
      return "invalid number";
    case JsonErrorCode::kNumberOutOfRange:
      return "number out of range";
    case JsonErrorCode::kInvalidUnicodeCodePoint:
      return "invalid unicode code point";
    case JsonErrorCode::kControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case JsonErrorCode::kKeyMustBeAString:
      return "key must be a string";
    case JsonErrorCode::kLoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case JsonErrorCode::kTrailingComma:
      return "trailing comma";
    case JsonErrorCode::kTrailingCharacters:
      return "trailing characters";
    case JsonErrorCode::kUnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case JsonErrorCode::kRecursionLimitExceeded:
      return "recursion limit exceeded";
  }
  return "unknown JSON error";
}

std::string line_column_text(const JsonError& error, std::string_view input) {
  std::size_t index = std::min(error.index, input.size());
  std::string_view before = input.substr(0, index);
  std::size_t last_newline = before.rfind('\n');
  std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
  std::string text(reason_text(error.code));
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(index - line_start);
  return text;
}

namespace {

std::string_view kind_text(JsonErrorCode code) {
  switch (code) {
    case JsonErrorCode::kEofWhileParsingList:
    case JsonErrorCode::kEofWhileParsingObject:
    case JsonErrorCode::kEofWhileParsingString:
    case JsonErrorCode::kEofWhileParsingValue:
      return "Eof";
    case JsonErrorCode::kTrailingCharacters:
      return "TrailingData";
    case JsonErrorCode::kInvalidEscape:
    case JsonErrorCode::kUnexpectedEndOfHexEscape:
      return "InvalidEscape";
    case JsonErrorCode::kLoneLeadingSurrogateInHexEscape:
      return "InvalidUnicodeCodepoint";
    case JsonErrorCode::kInvalidUnicodeCodePoint:
      return "InvalidUtf8";
    case JsonErrorCode::kInvalidNumber:
    case JsonErrorCode::kNumberOutOfRange:
      return "InvalidNumber";
    case JsonErrorCode::kRecursionLimitExceeded:
      return "RecursionLimitExceeded";
    default:
      return "UnexpectedCharacter";
  }
}

}  // namespace

std::string character_text(const JsonError& error, std::string_view input) {
  std::string text(kind_text(error.code));
  text += " at character ";
  text += std::to_string(error.offset);
  if (error.offset < input.size()) {
    // The byte is shown as the character of the same code point, so a byte of
    // a multi-byte sequence still yields valid UTF-8.
    unsigned char byte = static_cast<unsigned char>(input[error.offset]);
    text += " ('";
    if (byte < 0x80) {
      text.push_back(static_cast<char>(byte));
    } else {
      text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
    text += "')";
  }
  return text;
}

}  // namespace quillmere::json
