// Differential checks between the three readers of JSON text.
//
// Syntax checker vs general parser, on valid UTF-8 (the checker is only ever
// given the text of a Python str): whatever the general parser parses, the
// checker accepts, and whatever it refuses for a reason of pure syntax, the
// checker refuses. The parser's own stricter rules are exempt: numbers beyond
// the double range, more than 127 open containers, and \u escapes of
// surrogates that do not pair (the checker does not look at code points).
//
// General vs in-place parser, on any bytes: the same events and the same
// errors, except that "-0" is the float -0.0 in one and the integer 0 in the
// other, an integer beyond 64 bits is a float in one and an invalid number in
// the other, a number beyond the double range is "number out of range" in one
// and an invalid number in the other, and only the general one limits depth.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "json/syntax_check.h"

using quillmere::fuzz::Event;
using quillmere::fuzz::parse_checked;
using quillmere::json::Dialect;
using quillmere::json::JsonErrorCode;

namespace {

bool is_negative_zero(const Event& event) {
  return event.kind == Event::Kind::kReal && event.real() == 0 && std::signbit(event.real());
}

bool is_begin(const Event& event) {
  return event.kind == Event::Kind::kBeginArray || event.kind == Event::Kind::kBeginObject;
}

// The number at `offset` is an integer literal (no fraction, no exponent).
bool integer_literal_at(std::string_view text, std::size_t offset) {
  std::size_t p = offset;
  if (p < text.size() && text[p] == '-') ++p;
  const std::size_t digits = p;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
  if (p == digits) return false;
  return p == text.size() || (text[p] != '.' && text[p] != 'e' && text[p] != 'E');
}

void compare_checker_with_general(std::string_view text,
                                  const quillmere::fuzz::Parsed<Dialect::kGeneral>& general) {
  const bool checker_accepts = quillmere::json::validate_json_text(text).ok();
  if (general.result.ok()) {
    FUZZ_CHECK(checker_accepts);
    return;
  }
  switch (general.result.error.code) {
    case JsonErrorCode::kNumberOutOfRange:
    case JsonErrorCode::kRecursionLimitExceeded:
    case JsonErrorCode::kLoneLeadingSurrogateInHexEscape:
    case JsonErrorCode::kUnexpectedEndOfHexEscape:
      return;  // the checker may go either way: a later syntax error decides
    case JsonErrorCode::kInvalidUnicodeCodePoint:
      FUZZ_CHECK(!"invalid UTF-8 reported for valid UTF-8 input");
      return;
    default:
      FUZZ_CHECK(!checker_accepts);
  }
}

void compare_general_with_in_place(std::string_view text,
                                   const quillmere::fuzz::Parsed<Dialect::kGeneral>& general,
                                   const quillmere::fuzz::Parsed<Dialect::kInPlace>& in_place) {
  const auto& g = general.events;
  const auto& p = in_place.events;
  std::size_t i = 0;
  for (; i < g.size() && i < p.size(); ++i) {
    if (g[i] == p[i]) continue;
    // "-0": the float -0.0 against the integer 0.
    FUZZ_CHECK(is_negative_zero(g[i]) && p[i].kind == Event::Kind::kUint && p[i].bits == 0);
  }
  const bool g_ok = general.result.ok();
  const bool p_ok = in_place.result.ok();
  if (g_ok && p_ok) {
    FUZZ_CHECK(g.size() == p.size());
    return;
  }
  if (p.size() == i && g.size() > i) {
    // The in-place parser stopped at an integer beyond 64 bits, which the
    // general one read as a float.
    FUZZ_CHECK(!p_ok && in_place.result.error.code == JsonErrorCode::kInvalidNumber);
    FUZZ_CHECK(g[i].kind == Event::Kind::kReal);
    FUZZ_CHECK(integer_literal_at(text, in_place.result.error.offset));
    return;
  }
  if (g.size() == i && p.size() > i) {
    // The general parser refused to open the 128th container.
    FUZZ_CHECK(!g_ok && general.result.error.code == JsonErrorCode::kRecursionLimitExceeded);
    FUZZ_CHECK(is_begin(p[i]));
    return;
  }
  // Both ended at the same event.
  FUZZ_CHECK(g.size() == p.size());
  FUZZ_CHECK(!g_ok && !p_ok);
  const auto& ge = general.result.error;
  const auto& pe = in_place.result.error;
  if (ge.code == JsonErrorCode::kNumberOutOfRange) {
    FUZZ_CHECK(pe.code == JsonErrorCode::kInvalidNumber);
    FUZZ_CHECK(pe.offset == ge.offset);
    return;
  }
  if (pe.code == JsonErrorCode::kInvalidNumber && ge.code != JsonErrorCode::kInvalidNumber) {
    // A big integer right before a general-only failure cannot be: the general
    // parser would have emitted it first. So this is the same invalid number.
    FUZZ_CHECK(!"in-place invalid number where the general parser saw none");
  }
  FUZZ_CHECK(ge.code == pe.code);
  FUZZ_CHECK(ge.index == pe.index);
  FUZZ_CHECK(ge.offset == pe.offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto general = parse_checked<Dialect::kGeneral>(text);
  const auto in_place = parse_checked<Dialect::kInPlace>(text);
  compare_general_with_in_place(text, general, in_place);
  if (quillmere::fuzz::is_utf8(text)) compare_checker_with_general(text, general);
  return 0;
}
