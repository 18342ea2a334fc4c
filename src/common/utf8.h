// UTF-8 well-formedness, one sequence at a time: the JSON checks use it to
// find the first ill-formed byte, the WAL reader to turn arbitrary key bytes
// into a valid id. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillmere {

struct Utf8Sequence {
  std::size_t size;  // bytes of the sequence, or of its maximal subpart when !valid
  bool valid;
};

// The sequence that starts at p (p < end). An ill-formed one reports its
// maximal subpart: the longest prefix that could still begin a well-formed
// sequence, at least one byte. Overlong forms, surrogates and values beyond
// U+10FFFF are ill-formed; the allowed range of the first continuation byte
// is what excludes them.
inline Utf8Sequence utf8_sequence_at(const char* p, const char* end) {
  const unsigned char lead = static_cast<unsigned char>(*p);
  if (lead < 0x80) return {1, true};
  std::size_t continuation;
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
    return {1, false};
  }
  for (std::size_t i = 1; i <= continuation; ++i) {
    if (static_cast<std::size_t>(end - p) == i) return {i, false};
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < low || c > high) return {i, false};
    low = 0x80;
    high = 0xBF;
  }
  return {continuation + 1, true};
}

// `bytes` with every maximal subpart of an ill-formed sequence replaced by
// U+FFFD, as Python's bytes.decode("utf-8", "replace") does.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace quillmere
