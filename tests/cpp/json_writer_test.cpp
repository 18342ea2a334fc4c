#include "json/json_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace quillmere::json {
namespace {

template <void (*Append)(std::string&, double)>
std::string write(double value) {
  std::string out;
  Append(out, value);
  return out;
}
constexpr auto json_float = write<append_json_float>;
constexpr auto plain_float = write<append_plain_float>;

TEST(JsonWriterTest, StringsEscapeOnlyWhatJsonRequiresAndIntegersAreExact) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", R"("")"}, {R"(say "hi" \ there)", R"("say \"hi\" \\ there")"}, {"a/b", R"("a/b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\x00\x01\x0b\x1f", 4), R"("\u0000\u0001\u000b\u001f")"},
      {"\x7f caf\xc3\xa9 \xf0\x9f\x98\x80", "\"\x7f caf\xc3\xa9 \xf0\x9f\x98\x80\""},
      // Long enough for the word-at-a-time scan, special bytes in every lane.
      {"0123456\"89abcde\\ghijklm\x1fopqrstuvwxyz",
       R"("0123456\"89abcde\\ghijklm\u001fopqrstuvwxyz")"},
  };
  for (const auto& [text, written] : cases) {
    std::string out = "x";  // appending keeps what is already there
    append_json_string(out, text);
    EXPECT_EQ(out, "x" + std::string(written));
  }
  std::string out;
  append_json_integer(out, std::numeric_limits<std::uint64_t>::max());
  append_json_integer(out, std::numeric_limits<std::int64_t>::min());
  append_json_integer(out, std::uint64_t{0});
  EXPECT_EQ(out, "18446744073709551615-92233720368547758080");
}

TEST(JsonWriterTest, FloatsSwitchToExponentOutsideTheMiddleRange) {
  const std::pair<double, std::string_view> cases[] = {
      {2.0, "2.0"}, {0.0, "0.0"}, {-0.0, "-0.0"}, {-2.5, "-2.5"}, {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"}, {1.0 / 3, "0.3333333333333333"}, {1e23, "1e+23"},
      {1e15, "1000000000000000.0"}, {9007199254740992.0, "9007199254740992.0"},
      {123456789012345.6, "123456789012345.6"}, {1e16, "1e+16"}, {1.2345e21, "1.2345e+21"},
      {0.00001, "0.00001"}, {0.000012345, "0.000012345"}, {1e-6, "1e-6"}, {1.5e-7, "1.5e-7"},
      {-1.5e300, "-1.5e+300"}, {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
  };
  for (const auto& [value, written] : cases) EXPECT_EQ(json_float(value), written);
}

TEST(JsonWriterTest, PlainFloatsNeverUseAnExponent) {
  const std::pair<double, std::string> cases[] = {
      {2.0, "2"}, {-0.0, "-0"}, {0.0, "0"}, {-12.25, "-12.25"}, {1e21, "1000000000000000000000"},
      {1e-7, "0.0000001"}, {1.5e-7, "0.00000015"}, {123456789012345.6, "123456789012345.6"},
      {1e300, "1" + std::string(300, '0')}, {5e-324, "0." + std::string(323, '0') + "5"},
  };
  for (const auto& [value, written] : cases) EXPECT_EQ(plain_float(value), written);
}

// Both forms read back as the same finite double; a JSON float never reads as an integer.
TEST(JsonWriterTest, FloatsRoundTripForRandomBitPatterns) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 200000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    for (const std::string& text : {json_float(value), plain_float(value)}) {
      double back = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), back);
      ASSERT_TRUE(error == std::errc() && end == text.data() + text.size()) << text;
      ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    }
    ASSERT_NE(json_float(value).find_first_of(".e"), std::string::npos);
    ASSERT_EQ(plain_float(value).find('e'), std::string::npos);
  }
}

}  // namespace
}  // namespace quillmere::json
