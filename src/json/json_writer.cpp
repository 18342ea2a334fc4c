#include "json/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "json/text_scan.h"

namespace quillmere::json {

namespace {

// The two-character escape letter of a control byte, or 0 when it takes the
// six-character \u00xx form.
constexpr char kShortEscape[0x20] = {
    0, 0, 0, 0, 0, 0, 0, 0, 'b', 't', 'n', 0, 'f', 'r', 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0,   0,   0,   0, 0,   0,   0, 0,
};

void append_escape(std::string& out, unsigned char byte) {
  if (byte == '"' || byte == '\\') {
    char escape[2] = {'\\', static_cast<char>(byte)};
    out.append(escape, 2);
  } else if (kShortEscape[byte] != 0) {
    char escape[2] = {'\\', kShortEscape[byte]};
    out.append(escape, 2);
  } else {
    static constexpr char kHex[] = "0123456789abcdef";
    char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    out.append(escape, 6);
  }
}

// The shortest digit string that reads back as a positive finite non-zero
// double, and the decimal exponent of its first digit: value = d.ddd * 10^exponent.
struct ShortestDecimal {
  char digits[20];
  int count = 0;
  int exponent = 0;
};

ShortestDecimal shortest_decimal(double magnitude) {
  // Scientific form without precision is the shortest round trip:
  // "d[.ddd]e[+-]xx". Only the digits and the exponent are kept.
  char text[32];
  char* end = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific).ptr;
  ShortestDecimal decimal;
  const char* p = text;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') decimal.digits[decimal.count++] = *p;
  }
  ++p;  // 'e'
  bool negative = *p == '-';
  ++p;  // sign
  int exponent = 0;
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  decimal.exponent = negative ? -exponent : exponent;
  return decimal;
}

void append_zeros(std::string& out, int count) {
  if (count > 0) out.append(static_cast<std::size_t>(count), '0');
}

// Plain notation of a shortest decimal. `integral_suffix` follows the digits
// of an integral value ("." "0" for JSON, nothing for a leaf text).
void append_plain_digits(std::string& out, const ShortestDecimal& d,
                         std::string_view integral_suffix) {
  if (d.exponent < 0) {
    out.append("0.", 2);
    append_zeros(out, -d.exponent - 1);
    out.append(d.digits, static_cast<std::size_t>(d.count));
  } else if (d.exponent + 1 >= d.count) {
    out.append(d.digits, static_cast<std::size_t>(d.count));
    append_zeros(out, d.exponent + 1 - d.count);
    out.append(integral_suffix);
  } else {
    std::size_t integer_digits = static_cast<std::size_t>(d.exponent) + 1;
    out.append(d.digits, integer_digits);
    out.push_back('.');
    out.append(d.digits + integer_digits, static_cast<std::size_t>(d.count) - integer_digits);
  }
}

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  std::uint64_t seen = 0;
  const char* special = internal::find_string_special(p, end, seen);
  if (special == end) {
    // Most strings need no escape: one copy between the quotes.
    const std::size_t start = out.size();
    out.resize(start + utf8.size() + 2);
    char* write = out.data() + start;
    *write = '"';
    std::memcpy(write + 1, utf8.data(), utf8.size());
    write[utf8.size() + 1] = '"';
    return;
  }
  out.push_back('"');
  for (;;) {
    out.append(p, static_cast<std::size_t>(special - p));
    if (special == end) break;
    append_escape(out, static_cast<unsigned char>(*special));
    p = special + 1;
    special = internal::find_string_special(p, end, seen);
  }
  out.push_back('"');
}

void append_json_integer(std::string& out, std::uint64_t value) {
  char text[20];
  char* end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, end);
}

void append_json_integer(std::string& out, std::int64_t value) {
  char text[20];
  char* end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, end);
}

void append_json_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    // Not representable in JSON; the document writer never passes one.
    out.append("null");
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  if (value == 0) {
    out.append("0.0");
    return;
  }
  ShortestDecimal d = shortest_decimal(std::fabs(value));
  if (d.exponent >= -5 && d.exponent <= 15) {
    append_plain_digits(out, d, ".0");
    return;
  }
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.digits + 1, static_cast<std::size_t>(d.count) - 1);
  }
  out.append(d.exponent < 0 ? "e-" : "e+", 2);
  char text[8];
  char* end = std::to_chars(text, text + sizeof text, std::abs(d.exponent)).ptr;
  out.append(text, end);
}

void append_plain_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    // Parsed documents hold finite floats only.
    out.append(std::isnan(value) ? "NaN" : value < 0 ? "-inf" : "inf");
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  if (value == 0) {
    out.push_back('0');
    return;
  }
  append_plain_digits(out, shortest_decimal(std::fabs(value)), {});
}

}  // namespace quillmere::json
