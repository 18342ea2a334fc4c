// The body of parse_json, included at the end of parser.h. A Parser object
// lives for one call: it walks the input once with a pointer, keeps the open
// containers on an explicit stack and reports to the handler as it goes.
// Owned by the calling thread for the duration of the call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "json/container_stack.h"
#include "json/number_text.h"
#include "json/text_scan.h"

namespace quillmere::json {
namespace internal {

template <Dialect D, typename Handler>
class Parser {
 public:
  Parser(std::string_view input, Handler& handler, std::size_t max_open)
      : begin_(input.data()),
        p_(input.data()),
        end_(input.data() + input.size()),
        max_open_(max_open),
        handler_(handler) {}

  ParseResult run() {
    for (;;) {
      Step step = read_value();
      if (step == Step::kNeedValue) continue;
      if (step == Step::kValueDone) step = after_value();
      if (step != Step::kNeedValue) return result_;
    }
  }

 private:
  enum class Step { kStop, kNeedValue, kValueDone, kDone };

  std::size_t position() const { return static_cast<std::size_t>(p_ - begin_); }
  std::size_t length() const { return static_cast<std::size_t>(end_ - begin_); }
  std::size_t offset_of(const char* p) const { return static_cast<std::size_t>(p - begin_); }

  Step fail(JsonErrorCode code, std::size_t index, std::size_t offset) {
    result_.outcome = ParseResult::Outcome::kSyntaxError;
    result_.error = JsonError{code, index, offset};
    return Step::kStop;
  }
  // The offending byte was consumed; it lies just before p_.
  Step fail_consumed(JsonErrorCode code) { return fail(code, position(), position() - 1); }
  // The offending byte (or the end) is at p_ and was only looked at.
  Step fail_peek(JsonErrorCode code) {
    return fail(code, std::min(position() + 1, length()), position());
  }
  Step fail_eof(JsonErrorCode code) {
    p_ = end_;
    return fail(code, length(), length());
  }
  Step stopped() {
    result_.outcome = ParseResult::Outcome::kStopped;
    return Step::kStop;
  }
  Step emitted(bool go_on) { return go_on ? Step::kValueDone : stopped(); }

  void skip_space() { p_ = internal::skip_space(p_, end_); }

  Step read_value() {
    skip_space();
    if (p_ == end_) return fail_peek(JsonErrorCode::kEofWhileParsingValue);
    switch (*p_) {
      case '"':
        ++p_;
        return read_string(/*key=*/false);
      case '{':
        return open_object();
      case '[':
        return open_array();
      case 'n':
        return read_literal("null") == Step::kValueDone ? emitted(handler_.null()) : Step::kStop;
      case 't':
        return read_literal("true") == Step::kValueDone ? emitted(handler_.boolean(true))
                                                        : Step::kStop;
      case 'f':
        return read_literal("false") == Step::kValueDone ? emitted(handler_.boolean(false))
                                                         : Step::kStop;
      case '-':
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
        return read_number();
      default:
        return fail_peek(JsonErrorCode::kExpectedSomeValue);
    }
  }

  // Closes containers until a comma asks for the next element or member, or
  // the top-level value is complete.
  Step after_value() {
    for (;;) {
      skip_space();
      if (stack_.empty()) {
        if (p_ != end_) return fail_peek(JsonErrorCode::kTrailingCharacters);
        return Step::kDone;
      }
      bool object = stack_.top_is_object();
      if (p_ == end_) {
        return fail_peek(object ? JsonErrorCode::kEofWhileParsingObject
                                : JsonErrorCode::kEofWhileParsingList);
      }
      char c = *p_;
      if (c == ',') {
        ++p_;
        skip_space();
        if (object) return read_member();
        if (p_ == end_) return fail_peek(JsonErrorCode::kEofWhileParsingValue);
        if (*p_ == ']') return fail_peek(JsonErrorCode::kTrailingComma);
        return Step::kNeedValue;
      }
      if (c != (object ? '}' : ']')) {
        return fail_peek(object ? JsonErrorCode::kExpectedObjectCommaOrEnd
                                : JsonErrorCode::kExpectedListCommaOrEnd);
      }
      ++p_;
      stack_.pop();
      if (!(object ? handler_.end_object() : handler_.end_array())) return stopped();
    }
  }

  bool may_open() const { return stack_.size() < max_open_; }

  Step open_array() {
    if (!may_open()) return fail_peek(JsonErrorCode::kRecursionLimitExceeded);
    ++p_;
    stack_.push(false);
    if (!handler_.begin_array()) return stopped();
    skip_space();
    if (p_ == end_) return fail_peek(JsonErrorCode::kEofWhileParsingList);
    if (*p_ != ']') return Step::kNeedValue;
    ++p_;
    stack_.pop();
    return emitted(handler_.end_array());
  }

  Step open_object() {
    if (!may_open()) return fail_peek(JsonErrorCode::kRecursionLimitExceeded);
    ++p_;
    stack_.push(true);
    if (!handler_.begin_object()) return stopped();
    skip_space();
    if (p_ == end_) return fail_peek(JsonErrorCode::kEofWhileParsingObject);
    if (*p_ != '}') return read_member();
    ++p_;
    stack_.pop();
    return emitted(handler_.end_object());
  }

  // A key and its colon, at the first non-space byte after '{' or ','.
  Step read_member() {
    if (p_ == end_) return fail_peek(JsonErrorCode::kEofWhileParsingValue);
    if (*p_ != '"') {
      return fail_peek(*p_ == '}' ? JsonErrorCode::kTrailingComma
                                  : JsonErrorCode::kKeyMustBeAString);
    }
    ++p_;
    if (read_string(/*key=*/true) == Step::kStop) return Step::kStop;
    skip_space();
    if (p_ == end_) return fail_peek(JsonErrorCode::kEofWhileParsingObject);
    if (*p_ != ':') return fail_peek(JsonErrorCode::kExpectedColon);
    ++p_;
    return Step::kNeedValue;
  }

  // At the literal's first letter.
  Step read_literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) >= word.size() &&
        std::string_view(p_, word.size()) == word) {
      p_ += word.size();
      return Step::kValueDone;
    }
    ++p_;
    for (char expected : word.substr(1)) {
      if (p_ == end_) return fail_eof(JsonErrorCode::kEofWhileParsingValue);
      if (*p_++ != expected) return fail_consumed(JsonErrorCode::kExpectedSomeIdent);
    }
    return Step::kValueDone;
  }

  // After the opening quotation mark. Text without escapes is handed over as
  // a view into the input; escapes are resolved into the scratch buffer.
  Step read_string(bool key) {
    const char* start = p_;
    std::uint64_t seen = 0;
    const char* special = internal::find_string_special(p_, end_, seen);
    if (special == end_) return fail_eof(JsonErrorCode::kEofWhileParsingString);
    p_ = special + 1;
    if (*special == '\\') return read_escaped_string(start, special, seen, key);
    if (*special != '"') return fail_consumed(JsonErrorCode::kControlCharacterWhileParsingString);
    if (internal::saw_non_ascii(seen) && !valid_utf8(start, special)) return Step::kStop;
    std::string_view text(start, static_cast<std::size_t>(special - start));
    return emitted(key ? handler_.key(text) : handler_.string(text));
  }

  // p_ is just past the first backslash at `backslash`.
  Step read_escaped_string(const char* start, const char* backslash, std::uint64_t seen, bool key) {
    scratch_.assign(start, backslash);
    for (;;) {
      if (p_ == end_) return fail_eof(JsonErrorCode::kEofWhileParsingString);
      switch (*p_++) {
        case '"':
          scratch_.push_back('"');
          break;
        case '\\':
          scratch_.push_back('\\');
          break;
        case '/':
          scratch_.push_back('/');
          break;
        case 'b':
          scratch_.push_back('\b');
          break;
        case 'f':
          scratch_.push_back('\f');
          break;
        case 'n':
          scratch_.push_back('\n');
          break;
        case 'r':
          scratch_.push_back('\r');
          break;
        case 't':
          scratch_.push_back('\t');
          break;
        case 'u':
          if (read_unicode_escape(backslash) == Step::kStop) return Step::kStop;
          break;
        default:
          return fail_consumed(JsonErrorCode::kInvalidEscape);
      }
      const char* run = p_;
      const char* special = internal::find_string_special(p_, end_, seen);
      if (special == end_) return fail_eof(JsonErrorCode::kEofWhileParsingString);
      scratch_.append(run, special);
      p_ = special + 1;
      if (*special == '"') break;
      if (*special != '\\') {
        return fail_consumed(JsonErrorCode::kControlCharacterWhileParsingString);
      }
      backslash = special;
    }
    // Escapes are ASCII and the UTF-8 they produce is well formed and starts
    // with a lead byte, so checking the raw text decides for the result too.
    if (internal::saw_non_ascii(seen) && !valid_utf8(start, p_ - 1)) return Step::kStop;
    return emitted(key ? handler_.key(scratch_) : handler_.string(scratch_));
  }

  // After "\u"; `backslash` starts the escape. Surrogates must pair.
  Step read_unicode_escape(const char* backslash) {
    std::int32_t unit = read_hex4();
    if (unit < 0) return Step::kStop;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return fail(JsonErrorCode::kLoneLeadingSurrogateInHexEscape, position(),
                  offset_of(backslash));
    }
    if (unit < 0xD800 || unit > 0xDBFF) {
      internal::append_utf8(scratch_, static_cast<std::uint32_t>(unit));
      return Step::kValueDone;
    }
    if (p_ == end_) return fail_eof(JsonErrorCode::kEofWhileParsingString);
    const char* second = p_;
    if (*p_++ != '\\') return fail_consumed(JsonErrorCode::kUnexpectedEndOfHexEscape);
    if (p_ == end_) return fail_eof(JsonErrorCode::kEofWhileParsingString);
    if (*p_++ != 'u') return fail_consumed(JsonErrorCode::kUnexpectedEndOfHexEscape);
    std::int32_t trailing = read_hex4();
    if (trailing < 0) return Step::kStop;
    if (trailing < 0xDC00 || trailing > 0xDFFF) {
      return fail(JsonErrorCode::kLoneLeadingSurrogateInHexEscape, position(), offset_of(second));
    }
    std::uint32_t code_point = 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                               (static_cast<std::uint32_t>(trailing) - 0xDC00);
    internal::append_utf8(scratch_, code_point);
    return Step::kValueDone;
  }

  // Four hex digits, or -1 after recording the error.
  std::int32_t read_hex4() {
    if (end_ - p_ < 4) {
      fail_eof(JsonErrorCode::kEofWhileParsingString);
      return -1;
    }
    const char* digits = p_;
    p_ += 4;
    std::int32_t unit = internal::decode_hex4(digits);
    if (unit < 0) {
      const char* bad = digits;
      while (internal::hex_digit_value(*bad) >= 0) ++bad;
      fail(JsonErrorCode::kInvalidEscape, position(), offset_of(bad));
    }
    return unit;
  }

  // [first, last) is a string's raw content; p_ is just past its closing quote.
  bool valid_utf8(const char* first, const char* last) {
    const char* bad = internal::find_invalid_utf8(first, last);
    if (bad == last) return true;
    fail(JsonErrorCode::kInvalidUnicodeCodePoint, position(), offset_of(bad));
    return false;
  }

  // Number errors point at the number's first byte in the character form.
  Step fail_number(JsonErrorCode code, std::size_t index, const char* start) {
    return fail(code, index, offset_of(start));
  }

  Step read_number() {
    const char* start = p_;
    bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_) return fail_eof(JsonErrorCode::kEofWhileParsingValue);

    // Integer part, accumulated while it fits 64 bits.
    char first = *p_++;
    std::uint64_t magnitude = 0;
    bool beyond_64_bits = false;
    if (first == '0') {
      if (p_ != end_ && internal::is_digit(*p_)) {
        return fail_number(JsonErrorCode::kInvalidNumber, std::min(position() + 1, length()),
                           start);
      }
    } else if (first >= '1' && first <= '9') {
      magnitude = static_cast<std::uint64_t>(first - '0');
      constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
      while (p_ != end_ && internal::is_digit(*p_)) {
        auto digit = static_cast<std::uint64_t>(*p_ - '0');
        if (magnitude > (kMax - digit) / 10) {
          beyond_64_bits = true;
          while (p_ != end_ && internal::is_digit(*p_)) ++p_;
          break;
        }
        magnitude = magnitude * 10 + digit;
        ++p_;
      }
    } else {
      return fail_number(JsonErrorCode::kInvalidNumber, position(), start);
    }

    bool is_float = false;
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      const char* fraction = p_;
      while (p_ != end_ && internal::is_digit(*p_)) ++p_;
      if (p_ == fraction) {
        if (p_ == end_) return fail_eof(JsonErrorCode::kEofWhileParsingValue);
        return fail_number(JsonErrorCode::kInvalidNumber, position() + 1, start);
      }
      is_float = true;
    }
    // An exponent beyond 32 bits is out of range where it overflows, unless
    // it is negative or every digit before it is zero (then the value is 0).
    std::size_t exponent_overflow_at = 0;
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      bool negative_exponent = false;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) negative_exponent = *p_++ == '-';
      if (p_ == end_) return fail_eof(JsonErrorCode::kEofWhileParsingValue);
      if (!internal::is_digit(*p_++)) {
        return fail_number(JsonErrorCode::kInvalidNumber, position(), start);
      }
      std::int32_t exponent = p_[-1] - '0';
      constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
      while (p_ != end_ && internal::is_digit(*p_)) {
        std::int32_t digit = *p_++ - '0';
        if (exponent_overflow_at != 0) continue;
        if (exponent > (kMax - digit) / 10) {
          if (!negative_exponent) exponent_overflow_at = position();
        } else {
          exponent = exponent * 10 + digit;
        }
      }
      is_float = true;
    }

    if (!is_float && !beyond_64_bits) {
      if (!negative) return emitted(handler_.uint(magnitude));
      if (magnitude == 0) {
        if constexpr (D == Dialect::kGeneral) return emitted(handler_.real(-0.0));
        return emitted(handler_.uint(0));
      }
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (magnitude <= kMinMagnitude) {
        // Two's complement: 0 - 2^63 wraps to the bits of INT64_MIN.
        return emitted(handler_.sint(static_cast<std::int64_t>(0 - magnitude)));
      }
    }
    if constexpr (D == Dialect::kInPlace) {
      if (!is_float) return fail_number(JsonErrorCode::kInvalidNumber, position(), start);
    }
    if (exponent_overflow_at != 0 && !internal::number_text_is_zero(start, p_)) {
      if constexpr (D == Dialect::kInPlace) {
        return fail_number(JsonErrorCode::kInvalidNumber, position(), start);
      }
      return fail_number(JsonErrorCode::kNumberOutOfRange, exponent_overflow_at, start);
    }
    double value;
    if (!internal::number_text_to_double(start, p_, value)) {
      return fail_number(
          D == Dialect::kInPlace ? JsonErrorCode::kInvalidNumber : JsonErrorCode::kNumberOutOfRange,
          position(), start);
    }
    return emitted(handler_.real(value));
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  const std::size_t max_open_;
  Handler& handler_;
  ParseResult result_;
  internal::ContainerStack stack_;
  std::string scratch_;  // unescaped text of the current string
};

}  // namespace internal

template <Dialect D, typename Handler>
ParseResult parse_json(std::string_view input, Handler& handler, std::size_t max_open) {
  return internal::Parser<D, Handler>(input, handler, max_open).run();
}

}  // namespace quillmere::json
