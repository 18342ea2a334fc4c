// Fuzzes the general parser dialect (the one the reads use). Besides the
// event shape checked by the recorder: a parse stopped by the handler at any
// event reports kStopped after exactly the events seen so far; a parsed
// value written back as canonical JSON is accepted by the syntax checker and
// parses to the same events; and every float's leaf text (the index's plain
// notation) reads back as the same double.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "json/syntax_check.h"

using quillmere::fuzz::Event;
using quillmere::fuzz::Parsed;
using quillmere::fuzz::parse_checked;
using quillmere::json::Dialect;
using quillmere::json::ParseResult;

namespace {

// Plain notation: an optional minus, digits, and a fraction only when the
// value is not integral; at most 17 significant digits; the same double.
void check_leaf_text(double value) {
  std::string text;
  quillmere::json::append_plain_float(text, value);
  FUZZ_CHECK(text.find_first_not_of("-0123456789.") == std::string::npos);
  FUZZ_CHECK((text.find('.') == std::string::npos) == (std::trunc(value) == value));
  double back = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), back);
  FUZZ_CHECK(error == std::errc() && end == text.data() + text.size());
  FUZZ_CHECK(back == value && std::signbit(back) == std::signbit(value));
  const std::size_t first = text.find_first_of("123456789");
  const std::size_t last = text.find_last_of("123456789");
  if (first != std::string::npos) {
    std::size_t significant = 0;
    for (std::size_t i = first; i <= last; ++i) significant += text[i] != '.';
    FUZZ_CHECK(significant <= 17);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Parsed<Dialect::kGeneral> full = parse_checked<Dialect::kGeneral>(text);
  FUZZ_CHECK(full.result.outcome != ParseResult::Outcome::kStopped);
  for (const Event& event : full.events) {
    if (event.kind == Event::Kind::kReal) check_leaf_text(event.real());
  }

  if (!full.events.empty()) {
    const std::size_t stop_at = (size * 2654435761u) % full.events.size();
    const Parsed<Dialect::kGeneral> stopped = parse_checked<Dialect::kGeneral>(text, stop_at);
    FUZZ_CHECK(stopped.result.outcome == ParseResult::Outcome::kStopped);
    FUZZ_CHECK(stopped.events.size() == stop_at + 1);
    for (std::size_t i = 0; i <= stop_at; ++i) FUZZ_CHECK(stopped.events[i] == full.events[i]);
  }

  if (full.result.ok()) {
    const std::string written = quillmere::fuzz::write_events(full.events);
    FUZZ_CHECK(quillmere::json::validate_json_text(written).ok());
    const Parsed<Dialect::kGeneral> again = parse_checked<Dialect::kGeneral>(written);
    FUZZ_CHECK(again.result.ok());
    FUZZ_CHECK(again.events == full.events);
    // Canonical text is a fixed point of writing.
    FUZZ_CHECK(quillmere::fuzz::write_events(again.events) == written);
  }
  return 0;
}
