#include "common/utf8.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(Utf8Test, LossyDecodingReplacesEachMaximalSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\x80" "b", "a" + r + "b"},
      {"\xE2\x82", r},                       // truncated at the end
      {"\xF0\x9F\x98x", r + "x"},            // truncated before ASCII
      {"\xE0\x80\x80", r + r + r},           // overlong
      {"\xC0\xAF", r + r},                   // overlong two-byte lead
      {"\xED\xA0\x80", r + r + r},           // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},   // beyond U+10FFFF
      {"\xFF", r},
      {"\xF1\x80\x80\xE1\x80\xC2", r + r + r},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(decode_utf8_lossy(bytes), text) << bytes;
}

}  // namespace
}  // namespace quillmere
