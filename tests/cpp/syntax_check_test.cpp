#include "json/syntax_check.h"

#include <gtest/gtest.h>

#include <string>

namespace quillmere::json {
namespace {

std::string check(std::string_view text) {
  const Status status = validate_json_text(text);
  return status.ok() ? "ok" : status.message();
}

TEST(SyntaxCheckTest, ReasonsAndPositions) {
  const struct {
    std::string_view text;
    std::string_view message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1 ", "EOF while parsing a list at line 1 column 3"},
      {"[[]", "EOF while parsing a list at line 1 column 3"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"a")", "EOF while parsing an object at line 1 column 4"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
      {R"({"a":1,)", "EOF while parsing an object at line 1 column 7"},
      {R"("abc)", "EOF while parsing a string at line 1 column 4"},
      {R"("\)", "EOF while parsing a string at line 1 column 2"},
      {R"("\u12)", "EOF while parsing a string at line 1 column 5"},
      {R"("\u123)", "EOF while parsing a string at line 1 column 6"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1}", "expected `,` or `]` at line 1 column 3"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
      {"nulx", "expected ident at line 1 column 4"},
      {"tx", "expected ident at line 1 column 2"},
      {"falze", "expected ident at line 1 column 4"},
      {"x", "expected value at line 1 column 1"},
      {"]", "expected value at line 1 column 1"},
      {"[1,]", "expected value at line 1 column 4"},
      {"[,1]", "expected value at line 1 column 2"},
      {"\v1", "expected value at line 1 column 1"},  // not JSON white space
      {R"("\q")", "invalid escape at line 1 column 3"},
      {R"("\u12g4")", "invalid escape at line 1 column 7"},
      {"-", "invalid number at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"1.", "invalid number at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "invalid number at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1.5Ex", "invalid number at line 1 column 5"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {R"({"a":1,})", "key must be a string at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{'a':1}", "key must be a string at line 1 column 2"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"1 2", "trailing characters at line 1 column 3"},
      {R"("a""b")", "trailing characters at line 1 column 4"},
      {"[1,\n 2,\n x]", "expected value at line 3 column 2"},
      {"\t\r\n [\n", "EOF while parsing a list at line 3 column 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(check(c.text), c.message) << c.text;
}

TEST(SyntaxCheckTest, AcceptsAnySingleValueWithoutEvaluatingIt) {
  const std::string_view texts[] = {
      "3",
      "[1,2]",
      "null",
      R"("a \"quoted\" \u00e9 \ud800 string")",  // lone surrogates are not checked
      R"(  {"b":1, "a":2} )",
      R"({"a":1,"a":2})",
      "123456789012345678901234567890",
      "1e999",
      "-0.0e-0",
      " \t\r\n[true , false,{ } ,[ ]]\n",
  };
  for (std::string_view text : texts) EXPECT_EQ(check(text), "ok") << text;
}

TEST(SyntaxCheckTest, NestingDepthIsUnlimited) {
  for (std::size_t depth : {1000, 100000}) {
    const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_EQ(check(arrays), "ok") << depth;
    std::string objects;
    for (std::size_t i = 0; i < depth; ++i) objects += R"({"k":[)";
    for (std::size_t i = 0; i < depth; ++i) objects += "]}";
    EXPECT_EQ(check(objects), "ok") << depth;
  }
  // The outer object is still known as one after a deep array closes.
  const std::string mixed = R"({"a":)" + std::string(200, '[') + std::string(200, ']') + "]";
  EXPECT_EQ(check(mixed), "expected `,` or `}` at line 1 column 406");
}

}  // namespace
}  // namespace quillmere::json
