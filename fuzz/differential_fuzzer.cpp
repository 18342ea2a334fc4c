// The readers of JSON text against each other.
//
// Syntax checker vs general parser, on valid UTF-8 (the checker only sees the
// text of a Python str): what the parser parses, the checker accepts; what it
// refuses for pure syntax, the checker refuses. Exempt are the parser's own
// rules: numbers beyond the double range, more than 127 open containers, and
// \u escapes of surrogates that do not pair.
//
// General vs in-place parser, on any bytes, each with the recorder's checks
// and a stop at any event: the same events and errors, except that "-0" is
// the float -0.0 in one and the integer 0 in the other, an integer beyond 64
// bits is a float in one and an invalid number in the other, a number beyond
// the double range is "number out of range" in one and an invalid number in
// the other, and only the general one limits depth.
#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "json/syntax_check.h"

namespace {

namespace fuzz = quillmere::fuzz;
using quillmere::json::Dialect;
using quillmere::json::JsonErrorCode;
using Kind = fuzz::Event::Kind;

void compare_checker_with_general(std::string_view text, const fuzz::Parsed& general) {
  const bool accepted = quillmere::json::validate_json_text(text).ok();
  if (general.result.ok()) {
    FUZZ_CHECK(accepted);
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
      FUZZ_CHECK(!accepted);
  }
}

void compare_general_with_in_place(std::string_view text, const fuzz::Parsed& general,
                                   const fuzz::Parsed& in_place) {
  const auto &g = general.events, &p = in_place.events;
  const auto &ge = general.result.error, &pe = in_place.result.error;
  FUZZ_CHECK(in_place.result.ok() || (pe.code != JsonErrorCode::kRecursionLimitExceeded &&
                                      pe.code != JsonErrorCode::kNumberOutOfRange));
  std::size_t i = 0;
  for (; i < g.size() && i < p.size(); ++i) {  // "-0": the float -0.0, the integer 0
    FUZZ_CHECK(g[i] == p[i] || (g[i].kind == Kind::kReal && g[i].bits == 1ull << 63 &&
                                p[i] == fuzz::Event{Kind::kUint}));
  }
  if (p.size() == i && g.size() > i) {
    // The in-place parser stopped at an integer literal beyond 64 bits, which
    // the general one read as a float.
    FUZZ_CHECK(!in_place.result.ok() && pe.code == JsonErrorCode::kInvalidNumber);
    FUZZ_CHECK(g[i].kind == Kind::kReal);
    const std::size_t digits = pe.offset + (text.substr(pe.offset).starts_with('-'));
    const std::size_t end = std::min(text.find_first_not_of("0123456789", digits), text.size());
    FUZZ_CHECK(end > digits && (end == text.size() || (text[end] != '.' && (text[end] | 0x20) != 'e')));
  } else if (g.size() == i && p.size() > i) {  // the general parser's 128th container
    FUZZ_CHECK(!general.result.ok() && ge.code == JsonErrorCode::kRecursionLimitExceeded);
    FUZZ_CHECK(p[i].kind == Kind::kBegin);
  } else if (general.result.ok() || in_place.result.ok()) {
    FUZZ_CHECK(general.result.ok() && in_place.result.ok());
  } else if (ge.code == JsonErrorCode::kNumberOutOfRange) {
    FUZZ_CHECK(pe.code == JsonErrorCode::kInvalidNumber && pe.offset == ge.offset);
  } else {
    FUZZ_CHECK(ge.code == pe.code && ge.index == pe.index && ge.offset == pe.offset);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const fuzz::Parsed general = fuzz::parse_checked<Dialect::kGeneral>(text);
  const fuzz::Parsed in_place = fuzz::parse_checked<Dialect::kInPlace>(text);
  fuzz::check_stop_anywhere<Dialect::kInPlace>(text, in_place.events);
  compare_general_with_in_place(text, general, in_place);
  if (fuzz::is_utf8(text)) compare_checker_with_general(text, general);
  return 0;
}
