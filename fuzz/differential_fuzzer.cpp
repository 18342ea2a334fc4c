// On valid UTF-8 (the checker only sees Python str text) the syntax checker
// accepts what the general parser parses and refuses what it refuses for pure
// syntax (not: numbers beyond the double range, depth over 127, unpaired \u
// surrogates). On any bytes the in-place parser, with the recorder's checks,
// gives the general parser's events and errors, except: "-0" is the integer 0,
// not -0.0; integers beyond 64 bits and numbers beyond the double range are
// invalid numbers, not floats or "number out of range"; depth is unlimited.
#include "fuzz/fuzz_support.h"
#include "json/syntax_check.h"

namespace {

namespace fuzz = quillmere::fuzz;
using quillmere::json::Dialect;
using quillmere::json::JsonErrorCode;
using Kind = fuzz::Event::Kind;

// Refused for one of the general parser's own rules: the checker may go either
// way, as a later syntax error decides.
bool exempt(JsonErrorCode code) {
  using enum JsonErrorCode;
  return code == kNumberOutOfRange || code == kRecursionLimitExceeded ||
         code == kLoneLeadingSurrogateInHexEscape || code == kUnexpectedEndOfHexEscape;
}

void compare_general_with_in_place(std::string_view text, const fuzz::Parsed& general,
                                   const fuzz::Parsed& in_place) {
  using enum JsonErrorCode;
  const auto &g = general.events, &p = in_place.events;
  const auto &ge = general.result.error, &pe = in_place.result.error;
  FUZZ_CHECK(in_place.result.ok() ||
             (pe.code != kRecursionLimitExceeded && pe.code != kNumberOutOfRange));
  std::size_t i = 0;
  for (; i < g.size() && i < p.size(); ++i) {  // "-0": the float -0.0, the integer 0
    FUZZ_CHECK(g[i] == p[i] || (g[i].kind == Kind::kReal && g[i].bits == 1ull << 63 &&
                                p[i] == fuzz::Event{Kind::kUint}));
  }
  if (p.size() == i && g.size() > i) {  // an integer beyond 64 bits, a float to the general one
    FUZZ_CHECK(!in_place.result.ok() && pe.code == kInvalidNumber && g[i].kind == Kind::kReal);
    const std::size_t digits = pe.offset + (text.substr(pe.offset).starts_with('-'));
    const std::size_t end = std::min(text.find_first_not_of("0123456789", digits), text.size());
    FUZZ_CHECK(end > digits && text.substr(end).find_first_of(".eE") != 0);
  } else if (g.size() == i && p.size() > i) {  // the general parser's 128th container
    FUZZ_CHECK(!general.result.ok() && ge.code == kRecursionLimitExceeded);
    FUZZ_CHECK(p[i].kind == Kind::kBegin);
  } else if (general.result.ok() || in_place.result.ok()) {
    FUZZ_CHECK(general.result.ok() && in_place.result.ok());
  } else if (ge.code == kNumberOutOfRange) {
    FUZZ_CHECK(pe.code == kInvalidNumber && pe.offset == ge.offset);
  } else {
    FUZZ_CHECK(ge.code == pe.code && ge.index == pe.index && ge.offset == pe.offset);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const fuzz::Parsed general = fuzz::parse_checked<Dialect::kGeneral>(text);
  const fuzz::Parsed in_place = fuzz::parse_checked<Dialect::kInPlace>(text);
  compare_general_with_in_place(text, general, in_place);
  if (fuzz::is_utf8(text)) {
    const bool ok = general.result.ok();
    FUZZ_CHECK(ok || general.result.error.code != JsonErrorCode::kInvalidUnicodeCodePoint);
    FUZZ_CHECK((!ok && exempt(general.result.error.code)) ||
               quillmere::json::validate_json_text(text).ok() == ok);
  }
  return 0;
}
