// Shared by the fuzz targets: a check that aborts (a crash to libFuzzer) and
// parsing with a handler that records the events and checks their shape.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/parser.h"
#include "json/text_scan.h"

#define FUZZ_CHECK(condition) ::quillmere::fuzz::check(condition, #condition, __FILE__, __LINE__)

namespace quillmere::fuzz {

inline void check(bool ok, const char* condition, const char* file, int line) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s at %s:%d\n", condition, file, line);
  std::abort();
}

inline bool is_utf8(std::string_view text) {
  const char* end = text.data() + text.size();
  return json::internal::find_invalid_utf8(text.data(), end) == end;
}

struct Event {
  enum class Kind : std::uint8_t { kNull, kBool, kUint, kSint, kReal, kString, kKey, kBegin, kEnd };
  Event(Kind kind, std::uint64_t bits = 0, std::string text = {})  // NOLINT
      : kind(kind), bits(bits), text(std::move(text)) {}
  Kind kind;
  std::uint64_t bits;  // the bool, the integer, the double's bit pattern, or '[' / '{'
  std::string text;    // string and key

  bool operator==(const Event&) const = default;
  double real() const { return std::bit_cast<double>(bits); }
};

// Checks as events come: keys only directly in objects, each followed by one
// value; containers closed by their own kind, at most `max_open` open; one
// top-level value; valid UTF-8; sint negative; reals finite. Stops at `stop_at`.
class CheckingRecorder {
 public:
  CheckingRecorder(std::size_t max_open, std::size_t stop_at)
      : max_open_(max_open), stop_at_(stop_at) {}

  bool null() { return value({Event::Kind::kNull}); }
  bool boolean(bool v) { return value({Event::Kind::kBool, v}); }
  bool uint(std::uint64_t v) { return value({Event::Kind::kUint, v}); }
  bool sint(std::int64_t v) { return value({Event::Kind::kSint, std::uint64_t(v)}); }
  bool real(double v) { return value({Event::Kind::kReal, std::bit_cast<std::uint64_t>(v)}); }
  bool string(std::string_view s) { return value({Event::Kind::kString, 0, std::string(s)}); }
  bool key(std::string_view s) {
    FUZZ_CHECK(!open_.empty() && open_.back() == '{' && !key_pending_);
    key_pending_ = true;
    return add({Event::Kind::kKey, 0, std::string(s)});
  }
  bool begin_array() { return begin('['); }
  bool begin_object() { return begin('{'); }
  bool end_array() { return end('['); }
  bool end_object() { return end('{'); }

  void check_complete() const { FUZZ_CHECK(open_.empty() && !events_.empty() && !key_pending_); }
  const std::vector<Event>& events() const { return events_; }

 private:
  bool value(Event event) {
    // One top-level value; in an object, after a key.
    FUZZ_CHECK(open_.empty() ? events_.empty() : open_.back() == '[' || key_pending_);
    key_pending_ = false;
    return add(std::move(event));
  }
  bool begin(char bracket) {
    const bool go_on = value({Event::Kind::kBegin, std::uint64_t(bracket)});
    open_ += bracket;
    FUZZ_CHECK(open_.size() <= max_open_);
    return go_on;
  }
  bool end(char bracket) {
    FUZZ_CHECK(!open_.empty() && open_.back() == bracket && !key_pending_);
    open_.pop_back();
    return add({Event::Kind::kEnd, std::uint64_t(bracket)});
  }
  bool add(Event event) {
    FUZZ_CHECK(is_utf8(event.text));
    FUZZ_CHECK(event.kind != Event::Kind::kSint || static_cast<std::int64_t>(event.bits) < 0);
    FUZZ_CHECK(event.kind != Event::Kind::kReal || std::isfinite(event.real()));
    events_.push_back(std::move(event));
    return events_.size() != stop_at_ + 1;
  }

  const std::size_t max_open_, stop_at_;
  std::vector<Event> events_;
  std::string open_;  // '[' or '{' per open container
  bool key_pending_ = false;
};

struct Parsed {
  json::ParseResult result;
  std::vector<Event> events;
};

// Parses with a checking recorder (at most 127 containers open in the general
// dialect): completeness on success, the position on an error, and a handler
// stopping at any event stops the parse there, after exactly the events seen.
template <json::Dialect D>
Parsed parse_checked(std::string_view text, std::size_t stop_at = SIZE_MAX) {
  CheckingRecorder recorder(D == json::Dialect::kGeneral ? 127 : SIZE_MAX, stop_at);
  const json::ParseResult result = json::parse_json<D>(text, recorder);
  const std::vector<Event>& events = recorder.events();
  if (result.ok()) recorder.check_complete();
  if (result.outcome == json::ParseResult::Outcome::kSyntaxError) {
    FUZZ_CHECK(result.error.index <= text.size() && result.error.offset <= text.size());
    FUZZ_CHECK(is_utf8(json::error_text(D, result.error, text)));
  }
  if (stop_at != SIZE_MAX) {
    FUZZ_CHECK(result.outcome == json::ParseResult::Outcome::kStopped);
    FUZZ_CHECK(events.size() == stop_at + 1);
  } else if (!events.empty()) {
    FUZZ_CHECK(result.outcome != json::ParseResult::Outcome::kStopped);
    const Parsed stopped = parse_checked<D>(text, (text.size() * 2654435761u) % events.size());
    FUZZ_CHECK(std::equal(stopped.events.begin(), stopped.events.end(), events.begin()));
  }
  return {result, events};
}

}  // namespace quillmere::fuzz
