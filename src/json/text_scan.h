// Byte-level scanning shared by the JSON syntax checker, the parser and the
// writer: white space, runs of plain string content (eight bytes at a time),
// \u escapes and UTF-8. Internal to src/json. Pure functions; any thread.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace quillmere::json::internal {

inline constexpr std::uint64_t kEveryByte = 0x0101010101010101;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080;

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// JSON white space: blank, tab, line feed, carriage return. Compact text has
// none, so the first comparison usually ends the loop.
inline const char* skip_space(const char* p, const char* end) {
  while (p != end) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c > ' ' || (c != ' ' && c != '\n' && c != '\r' && c != '\t')) break;
    ++p;
  }
  return p;
}

// Returns the first byte in [p, end) that a JSON string cannot hold as it is
// (quotation mark, backslash, byte below 0x20), or `end`. ORs the bytes passed
// over into `seen`, so the caller can tell whether any of them was >= 0x80.
inline const char* find_string_special(const char* p, const char* end, std::uint64_t& seen) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      std::uint64_t quote = word ^ (kEveryByte * '"');
      std::uint64_t backslash = word ^ (kEveryByte * '\\');
      // Flags a byte whose value is 0 in `quote` or `backslash`, or below 0x20
      // in `word`; bytes >= 0x80 are never flagged. Borrows only run upward,
      // so the lowest flag is exact.
      std::uint64_t hits =
          ((quote - kEveryByte) | (backslash - kEveryByte) | (word - kEveryByte * 0x20)) & ~word &
          kHighBits;
      if (hits != 0) {
        int bytes = std::countr_zero(hits) / 8;
        seen |= word & ((std::uint64_t{1} << (bytes * 8)) - 1);
        return p + bytes;
      }
      seen |= word;
      p += 8;
    }
  }
  for (; p != end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
    seen |= c;
  }
  return p;
}

inline bool saw_non_ascii(std::uint64_t seen) { return (seen & kHighBits) != 0; }

inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  unsigned char lower = static_cast<unsigned char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

// The value of four hex digits at p, or -1 when one of them is not hex.
inline std::int32_t decode_hex4(const char* p) {
  std::int32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = hex_digit_value(p[i]);
    if (digit < 0) return -1;
    value = (value << 4) | digit;
  }
  return value;
}

// Appends a Unicode scalar value (not a surrogate) as UTF-8.
inline void append_utf8(std::string& out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    char bytes[2] = {static_cast<char>(0xC0 | (code_point >> 6)),
                     static_cast<char>(0x80 | (code_point & 0x3F))};
    out.append(bytes, 2);
  } else if (code_point < 0x10000) {
    char bytes[3] = {static_cast<char>(0xE0 | (code_point >> 12)),
                     static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (code_point & 0x3F))};
    out.append(bytes, 3);
  } else {
    char bytes[4] = {static_cast<char>(0xF0 | (code_point >> 18)),
                     static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)),
                     static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (code_point & 0x3F))};
    out.append(bytes, 4);
  }
}

// The first byte of the first ill-formed UTF-8 sequence in [p, end) (overlong
// forms, surrogates and values beyond U+10FFFF are ill-formed), or `end`.
const char* find_invalid_utf8(const char* p, const char* end);

}  // namespace quillmere::json::internal
