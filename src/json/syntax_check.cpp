#include "json/syntax_check.h"

#include <algorithm>
#include <cstdint>

#include "json/container_stack.h"
#include "json/json_error.h"
#include "json/text_scan.h"

namespace quillmere::json {

namespace {

using internal::is_digit;

// One pass over the text. Each step either advances `p_` or records the first
// error and returns false. Error positions follow the general parser: at the
// bytes consumed so far ("index") or one byte further when the offending byte
// was only looked at ("peek").
class SyntaxChecker {
 public:
  explicit SyntaxChecker(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  bool run();
  const JsonError& error() const { return error_; }

 private:
  std::size_t position() const { return static_cast<std::size_t>(p_ - begin_); }
  std::size_t length() const { return static_cast<std::size_t>(end_ - begin_); }

  bool fail_at(JsonErrorCode code, std::size_t index) {
    error_ = JsonError{code, index, std::min(index, length())};
    return false;
  }
  bool fail_index(JsonErrorCode code) { return fail_at(code, position()); }
  bool fail_peek(JsonErrorCode code) { return fail_at(code, std::min(position() + 1, length())); }

  void skip_space() { p_ = internal::skip_space(p_, end_); }
  bool at_end() const { return p_ == end_; }

  bool literal_rest(std::string_view rest);
  bool number();
  bool digits_after_exponent();
  bool string();
  bool escape();
  bool end_of_text();

  const char* const begin_;
  const char* p_;
  const char* const end_;
  JsonError error_{};
};

bool SyntaxChecker::run() {
  internal::ContainerStack open;
  for (;;) {
    skip_space();
    if (at_end()) return fail_peek(JsonErrorCode::kEofWhileParsingValue);
    bool opened = false;
    switch (*p_) {
      case 'n':
        ++p_;
        if (!literal_rest("ull")) return false;
        break;
      case 't':
        ++p_;
        if (!literal_rest("rue")) return false;
        break;
      case 'f':
        ++p_;
        if (!literal_rest("alse")) return false;
        break;
      case '-':
        ++p_;
        if (!number()) return false;
        break;
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        if (!number()) return false;
        break;
      case '"':
        ++p_;
        if (!string()) return false;
        break;
      case '[':
      case '{':
        open.push(*p_ == '{');
        ++p_;
        opened = true;
        break;
      default:
        return fail_peek(JsonErrorCode::kExpectedSomeValue);
    }
    if (open.empty()) return end_of_text();

    // After a value a comma or the closing bracket must follow; right after an
    // opening bracket the closing one or the first element/member.
    bool accept_comma = !opened;
    for (;;) {
      skip_space();
      bool object = open.top_is_object();
      if (at_end()) {
        return fail_peek(object ? JsonErrorCode::kEofWhileParsingObject
                                : JsonErrorCode::kEofWhileParsingList);
      }
      char c = *p_;
      if (c == ',' && accept_comma) {
        ++p_;
        break;
      }
      if (c == (object ? '}' : ']')) {
        ++p_;
        open.pop();
        if (open.empty()) return end_of_text();
        accept_comma = true;
        continue;
      }
      if (accept_comma) {
        return fail_peek(object ? JsonErrorCode::kExpectedObjectCommaOrEnd
                                : JsonErrorCode::kExpectedListCommaOrEnd);
      }
      break;
    }

    if (open.top_is_object()) {
      skip_space();
      if (at_end()) return fail_peek(JsonErrorCode::kEofWhileParsingObject);
      if (*p_ != '"') return fail_peek(JsonErrorCode::kKeyMustBeAString);
      ++p_;
      if (!string()) return false;
      skip_space();
      if (at_end()) return fail_peek(JsonErrorCode::kEofWhileParsingObject);
      if (*p_ != ':') return fail_peek(JsonErrorCode::kExpectedColon);
      ++p_;
    }
  }
}

bool SyntaxChecker::literal_rest(std::string_view rest) {
  for (char expected : rest) {
    if (at_end()) return fail_index(JsonErrorCode::kEofWhileParsingValue);
    if (*p_++ != expected) return fail_index(JsonErrorCode::kExpectedSomeIdent);
  }
  return true;
}

// After an optional minus sign. Only the syntax is checked; any length passes.
bool SyntaxChecker::number() {
  // The first byte is consumed unless the text ends there.
  char first = at_end() ? '\0' : *p_++;
  if (first == '0') {
    if (!at_end() && is_digit(*p_)) return fail_peek(JsonErrorCode::kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    while (!at_end() && is_digit(*p_)) ++p_;
  } else {
    return fail_index(JsonErrorCode::kInvalidNumber);
  }
  if (!at_end() && *p_ == '.') {
    ++p_;
    const char* fraction = p_;
    while (!at_end() && is_digit(*p_)) ++p_;
    if (p_ == fraction) return fail_peek(JsonErrorCode::kInvalidNumber);
  }
  if (!at_end() && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    return digits_after_exponent();
  }
  return true;
}

bool SyntaxChecker::digits_after_exponent() {
  if (!at_end() && (*p_ == '+' || *p_ == '-')) ++p_;
  char first = at_end() ? '\0' : *p_++;
  if (!is_digit(first)) return fail_index(JsonErrorCode::kInvalidNumber);
  while (!at_end() && is_digit(*p_)) ++p_;
  return true;
}

// After the opening quotation mark. Code points are not checked.
bool SyntaxChecker::string() {
  std::uint64_t seen = 0;
  for (;;) {
    p_ = internal::find_string_special(p_, end_, seen);
    if (at_end()) return fail_index(JsonErrorCode::kEofWhileParsingString);
    char c = *p_;
    if (c == '"') {
      ++p_;
      return true;
    }
    if (c != '\\') return fail_index(JsonErrorCode::kControlCharacterWhileParsingString);
    ++p_;
    if (!escape()) return false;
  }
}

bool SyntaxChecker::escape() {
  if (at_end()) return fail_index(JsonErrorCode::kEofWhileParsingString);
  switch (*p_++) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
      return true;
    case 'u':
      if (end_ - p_ < 4) {
        p_ = end_;
        return fail_index(JsonErrorCode::kEofWhileParsingString);
      }
      p_ += 4;
      if (internal::decode_hex4(p_ - 4) < 0) return fail_index(JsonErrorCode::kInvalidEscape);
      return true;
    default:
      return fail_index(JsonErrorCode::kInvalidEscape);
  }
}

bool SyntaxChecker::end_of_text() {
  skip_space();
  if (!at_end()) return fail_peek(JsonErrorCode::kTrailingCharacters);
  return true;
}

}  // namespace

Status validate_json_text(std::string_view text) {
  SyntaxChecker checker(text);
  if (checker.run()) return Status::Ok();
  return Status::Error(line_column_text(checker.error(), text));
}

}  // namespace quillmere::json
