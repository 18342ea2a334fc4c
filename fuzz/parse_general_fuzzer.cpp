// The general parser dialect (the one the reads use): besides the recorder's
// checks, a handler can stop it at any event; a parsed value written back by
// the JSON writer is accepted by the syntax checker and parses to the same
// events; every float's index leaf text (plain notation, at most 17
// significant digits) reads back as the same double.
#include <charconv>

#include "fuzz/fuzz_support.h"
#include "json/json_writer.h"
#include "json/syntax_check.h"

namespace {

namespace fuzz = quillmere::fuzz;
namespace json = quillmere::json;
using Kind = fuzz::Event::Kind;

std::string write_events(const std::vector<fuzz::Event>& events) {
  std::string out;
  bool comma = false;  // the next key or value follows another
  for (const fuzz::Event& e : events) {
    if (comma && e.kind != Kind::kEnd) out += ',';
    comma = e.kind != Kind::kKey && e.kind != Kind::kBegin;
    if (e.kind == Kind::kNull || e.kind == Kind::kBool) {
      out += e.kind == Kind::kNull ? "null" : e.bits ? "true" : "false";
    } else if (e.kind == Kind::kUint) {
      json::append_json_integer(out, e.bits);
    } else if (e.kind == Kind::kSint) {
      json::append_json_integer(out, static_cast<std::int64_t>(e.bits));
    } else if (e.kind == Kind::kReal) {
      json::append_json_float(out, e.real());
    } else if (e.kind == Kind::kString || e.kind == Kind::kKey) {
      json::append_json_string(out, e.text);
      if (e.kind == Kind::kKey) out += ':';
    } else {
      out += static_cast<char>(e.kind == Kind::kBegin ? e.bits : e.bits + 2);  // "[{" -> "]}"
    }
  }
  return out;
}

void check_leaf_text(double value) {
  std::string text;
  json::append_plain_float(text, value);
  FUZZ_CHECK(text.find_first_not_of("-0123456789.") == std::string::npos);
  FUZZ_CHECK((text.find('.') == std::string::npos) == (std::trunc(value) == value));
  double back = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), back);
  FUZZ_CHECK(error == std::errc() && end == text.data() + text.size());
  FUZZ_CHECK(back == value && std::signbit(back) == std::signbit(value));
  const std::size_t first = text.find_first_of("123456789"), last = text.find_last_of("123456789");
  FUZZ_CHECK(first == text.npos || last - first + 1 - (text.find('.', first) < last) <= 17);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const fuzz::Parsed full = fuzz::parse_checked<json::Dialect::kGeneral>(text);
  for (const fuzz::Event& event : full.events) {
    if (event.kind == Kind::kReal) check_leaf_text(event.real());
  }
  if (full.result.ok()) {
    const std::string written = write_events(full.events);
    FUZZ_CHECK(json::validate_json_text(written).ok());
    const fuzz::Parsed again = fuzz::parse_checked<json::Dialect::kGeneral>(written);
    FUZZ_CHECK(again.result.ok() && again.events == full.events);
  }
  return 0;
}
