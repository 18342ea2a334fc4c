#include "json/parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "json/syntax_check.h"
#include "json/text_scan.h"

namespace quillmere::json {
namespace {

// Records every event as a short token: "u:1", "f:1.5e+00", "s:text", "{", ...
class Recorder {
 public:
  explicit Recorder(std::string_view input = {}) : input_(input) {}
  bool null() { return add("null"); }
  bool boolean(bool value) { return add(value ? "true" : "false"); }
  bool uint(std::uint64_t value) { return add("u:" + std::to_string(value)); }
  bool sint(std::int64_t value) { return add("i:" + std::to_string(value)); }
  bool real(double value) {
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    return add("f:" + std::string(text, end));
  }
  bool string(std::string_view text) { return add("s:" + view_mark(text) + std::string(text)); }
  bool key(std::string_view text) { return add("k:" + view_mark(text) + std::string(text)); }
  bool begin_array() { return add("["); }
  bool end_array() { return add("]"); }
  bool begin_object() { return add("{"); }
  bool end_object() { return add("}"); }

  std::string events;
  int calls = 0, stop_at_call = 0;  // 0: never stop

 private:
  // Text that points into the input is marked with "=" when the input is known.
  std::string view_mark(std::string_view text) const {
    return !input_.empty() && text.data() >= input_.data() &&
                   text.data() < input_.data() + input_.size() ? "=" : "";
  }
  bool add(const std::string& token) {
    events += (events.empty() ? "" : " ") + token;
    return ++calls != stop_at_call;
  }
  std::string_view input_;
};

template <Dialect D>
std::string parse(std::string_view input) {
  Recorder recorder(input);
  const ParseResult result = parse_json<D>(input, recorder);
  return result.ok() ? recorder.events : error_text(D, result.error, input);
}

TEST(ParserTest, NumberClassesOfBothDialects) {
  const std::string_view kBad0 = "InvalidNumber at character 0 ('1')";
  const struct { std::string_view text, general, in_place; } cases[] = {
      {"18446744073709551615", "u:18446744073709551615", "u:18446744073709551615"},
      {"18446744073709551616", "f:1.8446744073709552e+19", kBad0},
      {"-9223372036854775808", "i:-9223372036854775808", "i:-9223372036854775808"},
      {"[-9223372036854775809]", "[ f:-9.223372036854776e+18 ]",
       "InvalidNumber at character 1 ('-')"},
      {"-0", "f:-0e+00", "u:0"}, {"-0.0", "f:-0e+00", "f:-0e+00"},
      {"-1.5E+3", "f:-1.5e+03", "f:-1.5e+03"},
      {"1e400", "number out of range at line 1 column 5", kBad0},
      {"[-1e400]", "number out of range at line 1 column 7", "InvalidNumber at character 1 ('-')"},
      {"1.7976931348623157e308", "f:1.7976931348623157e+308", "f:1.7976931348623157e+308"},
      {"1.7976931348623159e308", "number out of range at line 1 column 22", kBad0},
      // An overlong exponent is out of range at the digit that overflows it.
      {"1e99999999999", "number out of range at line 1 column 12", kBad0},
      {"0e99999999999", "f:0e+00", "f:0e+00"}, {"1e-99999999999", "f:0e+00", "f:0e+00"},
      {"-1e-400", "f:-0e+00", "f:-0e+00"}, {"5e-324", "f:5e-324", "f:5e-324"},
      // Just below and just above half the smallest subnormal.
      {"2.4703282292062327e-324", "f:0e+00", "f:0e+00"},
      {"2.4703282292062328e-324", "f:5e-324", "f:5e-324"},
      {"9007199254740993", "u:9007199254740993", "u:9007199254740993"},
      {"9007199254740993.0", "f:9.007199254740992e+15", "f:9.007199254740992e+15"},
      {"9007199254740993.000000000000000000001", "f:9.007199254740994e+15",
       "f:9.007199254740994e+15"},
      {"0.100000000000000000000000000001", "f:1e-01", "f:1e-01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse<Dialect::kGeneral>(c.text), c.general) << c.text;
    EXPECT_EQ(parse<Dialect::kInPlace>(c.text), c.in_place) << c.text;
  }
}

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(ParserTest, NestingDepth) {
  EXPECT_EQ(parse<Dialect::kGeneral>(nested_arrays(127)).size(), 127u * 4 - 1);
  EXPECT_EQ(parse<Dialect::kGeneral>(nested_arrays(128)),
            "recursion limit exceeded at line 1 column 128");
  // Closing gives the depth back: only the deepest point counts.
  const std::string siblings = "[" + nested_arrays(126) + "," + nested_arrays(126) + "]";
  EXPECT_EQ(parse<Dialect::kGeneral>(siblings).substr(0, 4), "[ [ ");
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += R"({"a":)";
  objects += "1" + std::string(128, '}');
  EXPECT_EQ(parse<Dialect::kGeneral>(objects),
            "recursion limit exceeded at line 1 column " + std::to_string(127 * 5 + 1));
  EXPECT_EQ(parse<Dialect::kGeneral>(objects.substr(5, objects.size() - 6)).substr(0, 6), "{ k:=a");
  // The in-place parser has no limit and does not recurse.
  const std::string deep = nested_arrays(1000000);
  Recorder in_place;
  ASSERT_TRUE(parse_json<Dialect::kInPlace>(deep, in_place).ok());
  EXPECT_EQ(in_place.calls, 2000000);
}

TEST(ParserTest, StringsAndKeys) {
  const std::pair<std::string_view, std::string> cases[] = {
      {R"({"a":1,"a":2})", "{ k:=a u:1 k:=a u:2 }"},  // each occurrence is reported
      {R"(["plain","",{"key":"x y"}])", "[ s:=plain s:= { k:=key s:=x y } ]"},
      {R"("\"\\\/\b\f\n\r\t")", "s:\"\\/\b\f\n\r\t"},
      {R"("caf\u00e9 \u20AC \ud83d\ude00 \u0000!")",
       "s:caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 " + std::string(1, '\0') + "!"},
      {"{\"k\\u00e9y\":\"caf\xc3\xa9\"}", "{ k:k\xc3\xa9y s:=caf\xc3\xa9 }"},
      {"[\"\xf4\x8f\xbf\xbf\",\"a\\n\xe2\x82\xac\"]", "[ s:=\xf4\x8f\xbf\xbf s:a\n\xe2\x82\xac ]"},
  };
  for (const auto& [text, events] : cases) {
    EXPECT_EQ(parse<Dialect::kGeneral>(text), events) << text;
    EXPECT_EQ(parse<Dialect::kInPlace>(text), events) << text;
  }
}

std::string check(std::string_view text) {
  const Status status = validate_json_text(text);
  return status.ok() ? "ok" : status.message();
}

// The checker's text is the general parser's where its column is empty.
TEST(ParserTest, ErrorTextsOfBothDialectsAndTheChecker) {
  const struct { std::string_view text, general, in_place, checker = {}; } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0", "Eof at character 0"},
      {"x", "expected value at line 1 column 1", "UnexpectedCharacter at character 0 ('x')"},
      {"\v1", "expected value at line 1 column 1", "UnexpectedCharacter at character 0 ('\v')"},
      {"{} x", "trailing characters at line 1 column 4", "TrailingData at character 3 ('x')"},
      {"[1,]", "trailing comma at line 1 column 4", "UnexpectedCharacter at character 3 (']')",
       "expected value at line 1 column 4"},
      {R"({"a":1,})", "trailing comma at line 1 column 8",
       "UnexpectedCharacter at character 7 ('}')", "key must be a string at line 1 column 8"},
      {R"({"a":1, )", "EOF while parsing a value at line 1 column 8", "Eof at character 8",
       "EOF while parsing an object at line 1 column 8"},
      {"[1 ", "EOF while parsing a list at line 1 column 3", "Eof at character 3"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4", "Eof at character 4"},
      {R"({"a" 1})", "expected `:` at line 1 column 6", "UnexpectedCharacter at character 5 ('1')"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4",
       "UnexpectedCharacter at character 3 ('2')"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8",
       "UnexpectedCharacter at character 7 ('\"')"},
      {"{,}", "key must be a string at line 1 column 2",
       "UnexpectedCharacter at character 1 (',')"},
      {"nulx", "expected ident at line 1 column 4", "UnexpectedCharacter at character 3 ('x')"},
      {"nul", "EOF while parsing a value at line 1 column 3", "Eof at character 3"},
      {"-", "EOF while parsing a value at line 1 column 1", "Eof at character 1",
       "invalid number at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2", "InvalidNumber at character 0 ('-')"},
      {"[01]", "invalid number at line 1 column 3", "InvalidNumber at character 1 ('0')"},
      {"1.", "EOF while parsing a value at line 1 column 2", "Eof at character 2",
       "invalid number at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3", "InvalidNumber at character 0 ('1')"},
      {"1e+", "EOF while parsing a value at line 1 column 3", "Eof at character 3",
       "invalid number at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3", "InvalidNumber at character 0 ('1')"},
      {R"("abc)", "EOF while parsing a string at line 1 column 4", "Eof at character 4"},
      {R"("\)", "EOF while parsing a string at line 1 column 2", "Eof at character 2"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5", "Eof at character 5"},
      {R"("\q")", "invalid escape at line 1 column 3", "InvalidEscape at character 2 ('q')"},
      {R"("\u12g4")", "invalid escape at line 1 column 7", "InvalidEscape at character 5 ('g')"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3",
       "UnexpectedCharacter at character 2 ('\t')",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {R"("\udc00")", "lone leading surrogate in hex escape at line 1 column 7",
       "InvalidUnicodeCodepoint at character 1 ('\\')", "ok"},
      {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 13",
       "InvalidUnicodeCodepoint at character 7 ('\\')", "ok"},
      {R"("\ud800")", "unexpected end of hex escape at line 1 column 8",
       "InvalidEscape at character 7 ('\"')", "ok"},
      {R"("\ud800\n")", "unexpected end of hex escape at line 1 column 9",
       "InvalidEscape at character 8 ('n')", "ok"},
      {R"("\ud800)", "EOF while parsing a string at line 1 column 7", "Eof at character 7"},
      {R"("\ud800\u00)", "EOF while parsing a string at line 1 column 11", "Eof at character 11"},
      // Bad UTF-8 is found after the closing quote, shown as U+00xx; the checker never gets any.
      {"\"caf\xe9\"", "invalid unicode code point at line 1 column 6",
       "InvalidUtf8 at character 4 ('\xc3\xa9')", "ok"},
      {"[\"a\\n\xed\xa0\x80\"]", "invalid unicode code point at line 1 column 9",
       "InvalidUtf8 at character 5 ('\xc3\xad')", "ok"},
      {"[\"\xf0\x8f\xbf\xbf\"]", "invalid unicode code point at line 1 column 7",
       "InvalidUtf8 at character 2 ('\xc3\xb0')", "ok"},  // overlong
      {"\"\\n\x01\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4",
       "UnexpectedCharacter at character 3 ('\x01')",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"[[1]\n,\n2 x]", "expected `,` or `]` at line 3 column 3",
       "UnexpectedCharacter at character 9 ('x')"},
      {"\t\r\n [\n", "EOF while parsing a list at line 3 column 0", "Eof at character 6"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse<Dialect::kGeneral>(c.text), c.general) << c.text;
    EXPECT_EQ(parse<Dialect::kInPlace>(c.text), c.in_place) << c.text;
    EXPECT_EQ(check(c.text), c.checker.empty() ? c.general : c.checker) << c.text;
  }
}

TEST(ParserTest, CheckerAcceptsAnySingleValueAtAnyDepthWithoutEvaluatingIt) {
  const std::string_view texts[] = {
      "3", "null", R"(  {"b":1, "a":2} )", R"({"a":1,"a":2})", "123456789012345678901234567890",
      "1e999", "-0.0e-0", " \t\r\n[true , false,{ } ,[ ]]\n",
  };
  for (std::string_view text : texts) EXPECT_EQ(check(text), "ok") << text;
  const std::size_t depth = 100000;
  EXPECT_EQ(check(nested_arrays(depth)), "ok");
  std::string objects, closing;
  for (std::size_t i = 0; i < depth; ++i) objects += R"({"k":[)", closing += "]}";
  EXPECT_EQ(check(objects + closing), "ok");
  // The outer object is still known as one after a deep array closes.
  EXPECT_EQ(check(R"({"a":)" + std::string(200, '[') + std::string(200, ']') + "]"),
            "expected `,` or `}` at line 1 column 406");
}

// Stopping at each event in turn: nothing more is reported after a refusal.
TEST(ParserTest, HandlerReturningFalseStopsTheParse) {
  const std::string_view text = R"({"a":[1,-2,3.5,"s\n",true,null,{},[]],"b":false})";
  constexpr int kEvents = 17;
  for (int stop = 1; stop <= kEvents + 1; ++stop) {
    for (bool in_place : {false, true}) {
      Recorder recorder;
      recorder.stop_at_call = stop;
      const ParseResult result = in_place ? parse_json<Dialect::kInPlace>(text, recorder)
                                          : parse_json<Dialect::kGeneral>(text, recorder);
      EXPECT_EQ(result.outcome == ParseResult::Outcome::kStopped, stop <= kEvents) << stop;
      EXPECT_EQ(result.ok(), stop > kEvents) << stop;
      EXPECT_EQ(recorder.calls, std::min(stop, kEvents));
    }
  }
}

TEST(ParserTest, JsonTestSuiteAcceptsAndRejects) {
  int accepted = 0, rejected = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(JSON_TEST_SUITE_DIR "/test_parsing")) {
    const std::string name = entry.path().filename().string();
    const bool must_accept = name[0] == 'y';
    if (!must_accept && name[0] != 'n') continue;
    must_accept ? ++accepted : ++rejected;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    Recorder recorder;
    EXPECT_EQ(parse_json<Dialect::kGeneral>(text, recorder).ok(), must_accept) << name;
    EXPECT_EQ(parse_json<Dialect::kInPlace>(text, recorder).ok(), must_accept) << name;
    const char* end = text.data() + text.size();
    if (must_accept || internal::find_invalid_utf8(text.data(), end) == end) {
      EXPECT_EQ(validate_json_text(text).ok(), must_accept) << name;
    }
  }
  EXPECT_GT(accepted, 90);
  EXPECT_GT(rejected, 150);
}

}  // namespace
}  // namespace quillmere::json
