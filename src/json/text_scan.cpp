#include "json/text_scan.h"

#include "common/utf8.h"

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
    const Utf8Sequence sequence = utf8_sequence_at(p, end);
    if (!sequence.valid) return p;
    p += sequence.size;
  }
  return end;
}

}  // namespace quillmere::json::internal
