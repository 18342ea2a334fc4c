// Shared by the fuzz targets: a check that aborts (libFuzzer reports a crash),
// a parser handler that records the events and checks that they nest the way
// a JSON value does, and the check that a handler can stop a parse anywhere.
#pragma once

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

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "check failed: %s at %s:%d\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace quillmere::fuzz {

inline bool is_utf8(std::string_view text) {
  const char* end = text.data() + text.size();
  return json::internal::find_invalid_utf8(text.data(), end) == end;
}

struct Event {
  enum class Kind : std::uint8_t { kNull, kBool, kUint, kSint, kReal, kString, kKey, kBegin, kEnd };
  Event(Kind kind, std::uint64_t bits = 0, std::string text = {})  // NOLINT(runtime/explicit)
      : kind(kind), bits(bits), text(std::move(text)) {}
  Kind kind;
  std::uint64_t bits;  // the bool, the integer, the double's bit pattern, or '[' / '{'
  std::string text;    // string and key

  bool operator==(const Event&) const = default;
  double real() const { return std::bit_cast<double>(bits); }
};

// Records events and checks their shape as they come: keys only directly in
// objects and each followed by one value, containers closed by their own
// kind, at most `max_open` of them open, one top-level value, strings valid
// UTF-8, sint negative, reals finite. Stops the parse at event `stop_at`.
class CheckingRecorder {
 public:
  CheckingRecorder(std::size_t max_open, std::size_t stop_at) : max_open_(max_open), stop_at_(stop_at) {}

  bool null() { return value({Event::Kind::kNull}); }
  bool boolean(bool v) { return value({Event::Kind::kBool, v}); }
  bool uint(std::uint64_t v) { return value({Event::Kind::kUint, v}); }
  bool sint(std::int64_t v) {
    FUZZ_CHECK(v < 0);
    return value({Event::Kind::kSint, std::uint64_t(v)});
  }
  bool real(double v) {
    FUZZ_CHECK(std::isfinite(v));
    return value({Event::Kind::kReal, std::bit_cast<std::uint64_t>(v)});
  }
  bool string(std::string_view s) { return value({Event::Kind::kString, 0, checked(s)}); }
  bool key(std::string_view s) {
    FUZZ_CHECK(!open_.empty() && open_.back() == '{' && !key_pending_);
    key_pending_ = true;
    return add({Event::Kind::kKey, 0, checked(s)});
  }
  bool begin_array() { return begin('['); }
  bool begin_object() { return begin('{'); }
  bool end_array() { return end('['); }
  bool end_object() { return end('{'); }

  void check_complete() const { FUZZ_CHECK(open_.empty() && top_values_ == 1 && !key_pending_); }
  const std::vector<Event>& events() const { return events_; }

 private:
  static std::string checked(std::string_view s) {
    FUZZ_CHECK(is_utf8(s));
    return std::string(s);
  }
  bool value(Event event) {
    if (open_.empty()) {
      FUZZ_CHECK(top_values_++ == 0);
    } else if (open_.back() == '{') {
      FUZZ_CHECK(key_pending_);
      key_pending_ = false;
    }
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
    events_.push_back(std::move(event));
    return events_.size() != stop_at_ + 1;
  }

  const std::size_t max_open_, stop_at_;
  std::vector<Event> events_;
  std::string open_;  // '[' or '{' per open container
  bool key_pending_ = false;
  int top_values_ = 0;
};

struct Parsed {
  json::ParseResult result;
  std::vector<Event> events;
};

// Parses with a checking recorder (the general dialect opens at most 127
// containers); on success also checks completeness, on an error its position.
template <json::Dialect D>
Parsed parse_checked(std::string_view text, std::size_t stop_at = SIZE_MAX) {
  CheckingRecorder recorder(D == json::Dialect::kGeneral ? 127 : SIZE_MAX, stop_at);
  const json::ParseResult result = json::parse_json<D>(text, recorder);
  FUZZ_CHECK(result.outcome != json::ParseResult::Outcome::kStopped || stop_at != SIZE_MAX);
  if (result.ok()) recorder.check_complete();
  if (result.outcome == json::ParseResult::Outcome::kSyntaxError) {
    FUZZ_CHECK(result.error.index <= text.size() && result.error.offset <= text.size());
    FUZZ_CHECK(is_utf8(json::error_text(D, result.error, text)));
  }
  return {result, recorder.events()};
}

// A handler that stops at any event stops the parse there: kStopped, after
// exactly the events seen until then.
template <json::Dialect D>
void check_stop_anywhere(std::string_view text, const std::vector<Event>& full) {
  if (full.empty()) return;
  const std::size_t stop_at = (text.size() * 2654435761u) % full.size();
  const Parsed stopped = parse_checked<D>(text, stop_at);
  FUZZ_CHECK(stopped.result.outcome == json::ParseResult::Outcome::kStopped);
  FUZZ_CHECK(std::vector(full.begin(), full.begin() + stop_at + 1) == stopped.events);
}

}  // namespace quillmere::fuzz
