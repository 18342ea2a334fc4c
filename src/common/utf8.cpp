#include "common/utf8.h"

namespace quillmere {

std::string decode_utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p != end) {
    const Utf8Sequence sequence = utf8_sequence_at(p, end);
    if (sequence.valid) {
      text.append(p, sequence.size);
    } else {
      text += kReplacement;
    }
    p += sequence.size;
  }
  return text;
}

}  // namespace quillmere
