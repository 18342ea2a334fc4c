#include "common/local_time.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace quillmere {
namespace {

timespec read_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

// glibc's zone functions share one lock, which a fork copies held when one
// of the engine's threads was inside them: the child would wait for it for
// ever (in its own audit log, or Python's time.localtime). The engine's calls
// go through zone_mutex, which is held across every fork. Both are set up
// when the library is loaded, before any thread can use them (a fork during
// a first use's set-up would leave that set-up's own lock held); a std::mutex
// has nothing to destroy, so threads may still use it while the process exits.
std::mutex zone_mutex;
[[maybe_unused]] const bool zone_held_across_forks =
    pthread_atfork([] { zone_mutex.lock(); }, [] { zone_mutex.unlock(); },
                   [] { zone_mutex.unlock(); }) == 0;

// The local fields of `unix_seconds` in the zone TZ names now. glibc's
// localtime_r reads TZ only once per process unless tzset() asks again, and
// tzset() looks at the zone file each time (a system call). Outside the
// years an int holds localtime_r fails; the fields then stay zero, which no
// real clock reading reaches.
std::tm local_fields(std::int64_t unix_seconds) {
  const auto seconds = static_cast<time_t>(unix_seconds);
  std::tm fields{};
  std::lock_guard<std::mutex> zone(zone_mutex);
  tzset();
  localtime_r(&seconds, &fields);
  return fields;
}

// `value` as exactly `digits` decimal digits, leading zeros kept.
void append_digits(std::string& text, std::uint32_t value, int digits) {
  char buffer[9];
  for (int i = digits - 1; i >= 0; --i) {
    buffer[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  text.append(buffer, static_cast<std::size_t>(digits));
}

}  // namespace

LocalDateTime local_now() {
  const timespec now = read_clock();
  const std::tm f = local_fields(now.tv_sec);
  return LocalDateTime{f.tm_year + 1900,
                       static_cast<unsigned>(f.tm_mon + 1),
                       static_cast<unsigned>(f.tm_mday),
                       f.tm_hour,
                       f.tm_min,
                       f.tm_sec,
                       static_cast<std::uint32_t>(now.tv_nsec)};
}

std::string_view LocalTimestamps::format(std::int64_t unix_seconds, std::uint32_t nanoseconds) {
  if (second_ != unix_seconds) {
    const std::tm f = local_fields(unix_seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", f.tm_year + 1900,
                  f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
    date_time_ = text;
    // Offsets with a seconds part (old local mean times) keep whole minutes.
    const long offset_minutes = std::labs(f.tm_gmtoff) / 60;
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", f.tm_gmtoff < 0 ? '-' : '+',
                  offset_minutes / 60, offset_minutes % 60);
    offset_ = text;
    second_ = unix_seconds;
  }
  text_.assign(date_time_);
  if (nanoseconds != 0) {
    const bool millis = nanoseconds % 1000000 == 0, micros = nanoseconds % 1000 == 0;
    text_ += '.';
    if (millis) {
      append_digits(text_, nanoseconds / 1000000, 3);
    } else if (micros) {
      append_digits(text_, nanoseconds / 1000, 6);
    } else {
      append_digits(text_, nanoseconds, 9);
    }
  }
  text_ += offset_;
  return text_;
}

std::string_view LocalTimestamps::now() {
  const timespec now = read_clock();
  return format(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace quillmere
