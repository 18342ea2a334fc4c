// Shared by the fuzz targets: a parser handler that records every event and
// checks, as the events arrive, that they nest the way a JSON value does; a
// writer that turns recorded events back into canonical JSON text; and a
// check macro that aborts (which libFuzzer reports as a crash). One thread.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/json_writer.h"
#include "json/parser.h"
#include "json/text_scan.h"

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "check failed: %s at %s:%d\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace quillmere::fuzz {

inline bool is_utf8(std::string_view text) {
  const char* end = text.data() + text.size();
  return json::internal::find_invalid_utf8(text.data(), end) == end;
}

struct Event {
  enum class Kind : std::uint8_t {
    kNull,
    kBool,
    kUint,
    kSint,
    kReal,
    kString,
    kKey,
    kBeginArray,
    kEndArray,
    kBeginObject,
    kEndObject,
  };
  explicit Event(Kind kind, std::uint64_t bits = 0, std::string text = {})
      : kind(kind), bits(bits), text(std::move(text)) {}

  Kind kind;
  std::uint64_t bits;  // the bool, integer, or the double's bit pattern
  std::string text;    // string and key

  bool operator==(const Event& other) const {
    return kind == other.kind && bits == other.bits && text == other.text;
  }
  double real() const {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
};

// Records events and checks their shape: keys only directly inside objects
// and always followed by exactly one value, containers closed by their own
// kind, one top-level value, strings valid UTF-8, negative sint, finite reals.
// Returns false (stops the parse) at event number `stop_at` when it is set.
class CheckingRecorder {
 public:
  explicit CheckingRecorder(std::size_t max_open = SIZE_MAX, std::size_t stop_at = SIZE_MAX)
      : max_open_(max_open), stop_at_(stop_at) {}

  bool null() { return value(Event{Event::Kind::kNull}); }
  bool boolean(bool v) { return value(Event{Event::Kind::kBool, v ? 1u : 0u}); }
  bool uint(std::uint64_t v) { return value(Event{Event::Kind::kUint, v}); }
  bool sint(std::int64_t v) {
    FUZZ_CHECK(v < 0);
    return value(Event{Event::Kind::kSint, static_cast<std::uint64_t>(v)});
  }
  bool real(double v) {
    FUZZ_CHECK(std::isfinite(v));
    Event event{Event::Kind::kReal};
    std::memcpy(&event.bits, &v, sizeof v);
    return value(std::move(event));
  }
  bool string(std::string_view text) {
    FUZZ_CHECK(is_utf8(text));
    return value(Event{Event::Kind::kString, 0, std::string(text)});
  }
  bool key(std::string_view text) {
    FUZZ_CHECK(is_utf8(text));
    FUZZ_CHECK(!open_.empty() && open_.back() == '{');
    FUZZ_CHECK(!key_pending_);
    key_pending_ = true;
    return add(Event{Event::Kind::kKey, 0, std::string(text)});
  }
  bool begin_array() { return open(Event::Kind::kBeginArray, '['); }
  bool begin_object() { return open(Event::Kind::kBeginObject, '{'); }
  bool end_array() { return close(Event::Kind::kEndArray, '['); }
  bool end_object() { return close(Event::Kind::kEndObject, '{'); }

  // After a parse that reported success.
  void check_complete() const {
    FUZZ_CHECK(open_.empty());
    FUZZ_CHECK(top_values_ == 1);
    FUZZ_CHECK(!key_pending_);
  }

  const std::vector<Event>& events() const { return events_; }

 private:
  // A value may start: at the top (only once), in an array, or after a key.
  void value_starts() {
    if (open_.empty()) {
      FUZZ_CHECK(top_values_ == 0);
      ++top_values_;
    } else if (open_.back() == '{') {
      FUZZ_CHECK(key_pending_);
      key_pending_ = false;
    }
  }
  bool value(Event event) {
    value_starts();
    return add(std::move(event));
  }
  bool open(Event::Kind kind, char bracket) {
    value_starts();
    open_.push_back(bracket);
    FUZZ_CHECK(open_.size() <= max_open_);
    return add(Event{kind});
  }
  bool close(Event::Kind kind, char bracket) {
    FUZZ_CHECK(!open_.empty() && open_.back() == bracket);
    FUZZ_CHECK(!key_pending_);
    open_.pop_back();
    return add(Event{kind});
  }
  bool add(Event event) {
    events_.push_back(std::move(event));
    return events_.size() != stop_at_ + 1;
  }

  const std::size_t max_open_;
  const std::size_t stop_at_;
  std::vector<Event> events_;
  std::string open_;  // '[' or '{' per open container
  bool key_pending_ = false;
  int top_values_ = 0;
};

// Canonical compact JSON of a complete, well-formed event sequence.
inline std::string write_events(const std::vector<Event>& events) {
  std::string out;
  std::vector<bool> first;  // per open container: no element written yet
  auto separate = [&](bool is_key_or_element) {
    if (first.empty() || !is_key_or_element) return;
    if (!first.back()) out += ',';
    first.back() = false;
  };
  bool after_key = false;
  for (const Event& event : events) {
    const bool closing =
        event.kind == Event::Kind::kEndArray || event.kind == Event::Kind::kEndObject;
    if (!closing) separate(!after_key);
    after_key = false;
    switch (event.kind) {
      case Event::Kind::kNull:
        out += "null";
        break;
      case Event::Kind::kBool:
        out += event.bits ? "true" : "false";
        break;
      case Event::Kind::kUint:
        json::append_json_integer(out, event.bits);
        break;
      case Event::Kind::kSint:
        json::append_json_integer(out, static_cast<std::int64_t>(event.bits));
        break;
      case Event::Kind::kReal:
        json::append_json_float(out, event.real());
        break;
      case Event::Kind::kString:
        json::append_json_string(out, event.text);
        break;
      case Event::Kind::kKey:
        json::append_json_string(out, event.text);
        out += ':';
        after_key = true;
        break;
      case Event::Kind::kBeginArray:
      case Event::Kind::kBeginObject:
        out += event.kind == Event::Kind::kBeginArray ? '[' : '{';
        first.push_back(true);
        break;
      case Event::Kind::kEndArray:
      case Event::Kind::kEndObject:
        out += event.kind == Event::Kind::kEndArray ? ']' : '}';
        first.pop_back();
        break;
    }
  }
  return out;
}

template <json::Dialect D>
struct Parsed {
  json::ParseResult result;
  std::vector<Event> events;
};

// Parses with a checking recorder; on success also checks completeness.
template <json::Dialect D>
Parsed<D> parse_checked(std::string_view text, std::size_t stop_at = SIZE_MAX) {
  constexpr std::size_t kMaxOpen = D == json::Dialect::kGeneral ? 127 : SIZE_MAX;
  CheckingRecorder recorder(kMaxOpen, stop_at);
  json::ParseResult result = json::parse_json<D>(text, recorder);
  if (result.ok()) recorder.check_complete();
  if (result.outcome == json::ParseResult::Outcome::kSyntaxError) {
    FUZZ_CHECK(result.error.index <= text.size());
    FUZZ_CHECK(result.error.offset <= text.size());
    const std::string message = json::error_text(D, result.error, text);
    FUZZ_CHECK(is_utf8(message));
  }
  return Parsed<D>{result, recorder.events()};
}

}  // namespace quillmere::fuzz
