#include "common/utf8.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

TEST(Utf8Test, LossyDecodingReplacesEachMaximalSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\x80" "b", "a" + r + "b"}, {"\xFF", r}, {"\xF1\x80\x80\xE1\x80\xC2", r + r + r},
      {"\xE2\x82", r}, {"\xF0\x9F\x98x", r + "x"},          // truncated at the end, before ASCII
      {"\xE0\x80\x80", r + r + r}, {"\xC0\xAF", r + r},      // overlong, of two bytes
      {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r},  // surrogate, > U+10FFFF
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(decode_utf8_lossy(bytes), text) << bytes;
}

}  // namespace
}  // namespace quillmere
