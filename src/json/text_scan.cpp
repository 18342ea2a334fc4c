#include "json/text_scan.h"

namespace quillmere::json::internal {

const char* find_invalid_utf8(const char* p, const char* end) {
  while (p != end) {
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & kHighBits) == 0) {
        p += 8;
        continue;
      }
    }
    unsigned char lead = static_cast<unsigned char>(*p);
    if (lead < 0x80) {
      ++p;
      continue;
    }
    // Number of continuation bytes and the allowed range of the first one,
    // which is what excludes overlong forms, surrogates and > U+10FFFF.
    int continuation;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuation = 1;
    } else if (lead == 0xE0) {
      continuation = 2;
      low = 0xA0;
    } else if (lead == 0xED) {
      continuation = 2;
      high = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      continuation = 2;
    } else if (lead == 0xF0) {
      continuation = 3;
      low = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      continuation = 3;
    } else if (lead == 0xF4) {
      continuation = 3;
      high = 0x8F;
    } else {
      return p;
    }
    if (end - p <= continuation) return p;
    unsigned char first = static_cast<unsigned char>(p[1]);
    if (first < low || first > high) return p;
    for (int i = 2; i <= continuation; ++i) {
      if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return p;
    }
    p += continuation + 1;
  }
  return end;
}

}  // namespace quillmere::json::internal
